// The module function `fit_single_spectrum`: binds and converts its eighteen
// arguments, runs the body and returns (FitResult array, (i_left, i_right)).
#include <array>
#include <optional>

#include "api/argument_binding.hpp"
#include "api/argument_conversion.hpp"
#include "api/convert_spectrum_fit_params.hpp"
#include "api/exceptions.hpp"
#include "api/module_functions.hpp"
#include "api/result_arrays.hpp"
#include "api/run_body.hpp"
#include "spectrum/fit_single_spectrum.hpp"

namespace quillet::api {
namespace {

constexpr std::array<const char*, 18> kParameters =
    spectrum_parameter_names("spectrum", "guide_velocity");
const Signature kSignature{"fit_single_spectrum", kParameters, kRequiredSpectrumParameters};

// (array, (i_left, i_right)); null with an exception pending.
PyRef outcome_tuple(const SpectrumFitOutcome& outcome) {
  PyRef array = fit_result_array(outcome.result);
  if (!array) return {};
  PyRef left = PyRef::steal(PyLong_FromLong(outcome.window.i_left));
  if (!left) return {};
  PyRef right = PyRef::steal(PyLong_FromLong(outcome.window.i_right));
  if (!right) return {};
  PyRef window = PyRef::steal(PyTuple_Pack(2, left.get(), right.get()));
  if (!window) return {};
  return PyRef::steal(PyTuple_Pack(2, array.get(), window.get()));
}

PyObject* fit_single_spectrum_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;

  const ArgumentConverter convert(kSignature, bound);
  ArrayArgument spectrum, dopp_slit, spec_noise;
  float guide_velocity = 0;
  SpectrumFitParams params{};
  const bool converted = convert.array(0, 1, spectrum) && convert.array(1, 1, dopp_slit) &&
                         convert.array(2, 1, spec_noise) && convert.real(3, guide_velocity) &&
                         convert_spectrum_fit_params(convert, params);
  if (!converted) return nullptr;

  const std::optional<SpectrumFitOutcome> outcome = run_body([&] {
    return fit_single_spectrum(spectrum.view, dopp_slit.view, spec_noise.view, guide_velocity,
                               params);
  });
  if (!outcome) return nullptr;

  PyRef result = outcome_tuple(*outcome);
  if (!result) raise_result_build_fault();
  return result.release();
}

}  // namespace

PyMethodDef fit_single_spectrum_method = {
    "fit_single_spectrum", as_method(&fit_single_spectrum_call), METH_FASTCALL | METH_KEYWORDS,
    "fit_single_spectrum(spectrum, dopp_slit, spec_noise, guide_velocity, velocity_range, npix, "
    "npix_slack, dv, width_min, sg_xpixels, amplitude_rel_min, amplitude_rel_max, width_max, "
    "width_guess, xtol=..., ftol=..., gtol=..., max_iter=...)\n"
    "--\n"
    "\n"
    "Fit a single Gaussian to one spectrum.\n"
    "\n"
    "Returns an 8-element array `[amp, vel, sigma, amp_err, vel_err, sig_err,\n"
    "reduced_chi2, flag]` and the `(i_left, i_right)` pixel window used. `flag`\n"
    "is `FLAG_SUCCESS`, `FLAG_NO_LOCAL_MAX` (no positive peak in the search\n"
    "window, including a non-finite guide, or fewer than 3 valid samples) or\n"
    "`FLAG_NO_CONVERGENCE`; all other fields are NaN unless the flag is success."};

}  // namespace quillet::api
