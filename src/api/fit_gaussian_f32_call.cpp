// The module function `fit_gaussian_f32`: binds and converts its ten
// arguments, runs the body and returns the FitResult as an array.
#include <array>
#include <optional>

#include "api/argument_binding.hpp"
#include "api/argument_conversion.hpp"
#include "api/exceptions.hpp"
#include "api/module_functions.hpp"
#include "api/result_arrays.hpp"
#include "api/run_body.hpp"
#include "gaussian/fit_gaussian_f32.hpp"

namespace quillet::api {
namespace {

constexpr std::array<const char*, 10> kParameters = {
    "x",    "y",    "error", "initial", "lower_bounds", "upper_bounds",
    "xtol", "ftol", "gtol",  "max_iter"};
const Signature kSignature{"fit_gaussian_f32", kParameters, kParameters.size()};

PyObject* fit_gaussian_f32_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;

  const ArgumentConverter convert(kSignature, bound);
  ArrayArgument x, y, error, initial, lower_bounds, upper_bounds;
  float xtol = 0, ftol = 0, gtol = 0;
  std::int64_t max_iter = 0;
  const bool converted = convert.array(0, 1, x) && convert.array(1, 1, y) &&
                         convert.array(2, 1, error) && convert.array(3, 1, initial) &&
                         convert.array(4, 1, lower_bounds) && convert.array(5, 1, upper_bounds) &&
                         convert.real(6, xtol) && convert.real(7, ftol) && convert.real(8, gtol) &&
                         convert.int64(9, max_iter);
  if (!converted) return nullptr;

  const std::optional<FitResult> result = run_body([&] {
    return fit_gaussian_f32(x.view, y.view, error.view, initial.view, lower_bounds.view,
                            upper_bounds.view, xtol, ftol, gtol, max_iter);
  });
  if (!result) return nullptr;

  PyRef array = fit_result_array(*result);
  if (!array) raise_result_build_fault();
  return array.release();
}

}  // namespace

PyMethodDef fit_gaussian_f32_method = {
    "fit_gaussian_f32", as_method(&fit_gaussian_f32_call), METH_FASTCALL | METH_KEYWORDS,
    "fit_gaussian_f32(x, y, error, initial, lower_bounds, upper_bounds, xtol, ftol, gtol, "
    "max_iter)\n"
    "--\n"
    "\n"
    "Fit a bounded Gaussian to arbitrary (x, y \u00b1 error) data.\n"
    "\n"
    "Returns an 8-element array `[amp, mean, sigma, amp_err, mean_err, sig_err,\n"
    "reduced_chi2, flag]`. `flag` is `FLAG_SUCCESS` or `FLAG_NO_CONVERGENCE`."};

}  // namespace quillet::api
