// The kernel function `fit_lines_batch`: binds and converts its twenty
// arguments, checks the batch, fits the rows' line models with the
// interpreter lock released and returns (params, errors, stats).
#include <array>
#include <optional>
#include <type_traits>

#include "api/argument_binding.hpp"
#include "api/argument_conversion.hpp"
#include "api/convert_spectrum_fit_params.hpp"
#include "api/exceptions.hpp"
#include "api/interpreter_lock_release.hpp"
#include "api/kernels/kernel_functions.hpp"
#include "api/module_functions.hpp"
#include "api/result_arrays.hpp"
#include "api/run_body.hpp"
#include "spectrum/fit_lines_batch.hpp"

namespace quillet::api {
namespace {

constexpr std::array<const char*, 20> kParameters = {
    "spectra",       "velocity",        "noise",     "windows", "initial",    "lower",
    "upper",         "ncomponents",     "baseline",  "fixed",   "centre_ref", "centre_offset",
    "amplitude_ref", "amplitude_ratio", "sigma_ref", "scale",   "xtol",       "ftol",
    "gtol",          "max_iter"};
const Signature kSignature{"fit_lines_batch", kParameters, 9};

PyObject* fit_lines_batch_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;

  const ArgumentConverter convert(kSignature, bound);
  ArrayArgument spectra, velocity, noise, initial, lower, upper;
  BasicArrayArgument<std::int32_t> windows;
  std::int64_t ncomponents = 0, baseline = 0;
  BasicArrayArgument<std::uint8_t> fixed;
  BasicArrayArgument<std::int32_t> centre_ref, amplitude_ref, sigma_ref;
  ArrayArgument centre_offset, amplitude_ratio, scale;
  FitTolerances tolerances{};
  // Optional arrays: converted when given, strictly in parameter order.
  const auto maybe = [&](std::size_t index, auto& argument, auto convert_one) {
    return convert.absent(index) || convert_one(index, argument);
  };
  const auto floats1 = [&](std::size_t i, ArrayArgument& a) { return convert.array(i, 1, a); };
  const auto ints1 = [&](std::size_t i, BasicArrayArgument<std::int32_t>& a) {
    return convert.int32_array(i, 1, a);
  };
  const auto flags1 = [&](std::size_t i, BasicArrayArgument<std::uint8_t>& a) {
    return convert.flag_array(i, 1, a);
  };
  const bool converted =
      convert.array(0, 2, spectra) && convert.array(1, 1, velocity) && convert.array(2, 2, noise) &&
      convert.int32_array(3, 2, windows) && convert.array(4, 2, initial) &&
      convert.array(5, 2, lower) && convert.array(6, 2, upper) && convert.int64(7, ncomponents) &&
      convert.int64(8, baseline) && maybe(9, fixed, flags1) && maybe(10, centre_ref, ints1) &&
      maybe(11, centre_offset, floats1) && maybe(12, amplitude_ref, ints1) &&
      maybe(13, amplitude_ratio, floats1) && maybe(14, sigma_ref, ints1) &&
      maybe(15, scale, floats1) && convert.real_or(16, kDefaultTolerance, tolerances.xtol) &&
      convert.real_or(17, kDefaultTolerance, tolerances.ftol) &&
      convert.real_or(18, kDefaultTolerance, tolerances.gtol) &&
      convert.int64_or(19, kDefaultMaxIter, tolerances.max_iter);
  if (!converted) return nullptr;

  const auto given = [&](std::size_t index, const auto& argument) {
    using View = std::remove_cvref_t<decltype(argument.view)>;
    return convert.absent(index) ? std::optional<View>{} : std::optional<View>{argument.view};
  };
  const LinesBatchArrays arrays{
      .spectra = spectra.view,
      .velocity = velocity.view,
      .noise = noise.view,
      .windows = windows.view,
      .initial = initial.view,
      .lower = lower.view,
      .upper = upper.view,
      .fixed = given(9, fixed),
      .centre_ref = given(10, centre_ref),
      .centre_offset = given(11, centre_offset),
      .amplitude_ref = given(12, amplitude_ref),
      .amplitude_ratio = given(13, amplitude_ratio),
      .sigma_ref = given(14, sigma_ref),
      .scale = given(15, scale),
  };
  const std::optional<LinesBatchInput> input =
      run_body([&] { return check_lines_batch(arrays, ncomponents, baseline, tolerances); });
  if (!input) return nullptr;

  LinesBatchOutput output;
  // The rows are fitted from the arrays' memory with the lock released: the
  // arguments above keep the arrays alive until this function returns, and
  // the row jobs touch no Python object.
  if (!guard_internal_faults([&] {
        output = allocate_lines_output(input->rows, input->model.param_count());
        const InterpreterLockRelease unlocked;
        fit_lines_rows(*input, output);
      })) {
    return nullptr;
  }
  const std::size_t rows = output.rows;
  const std::size_t width = output.width;
  PyRef params = float_rows_array(std::move(output.params), rows, width);
  PyRef errors = params ? float_rows_array(std::move(output.errors), rows, width) : PyRef{};
  PyRef stats = errors ? float_rows_array(std::move(output.stats), rows, kLineStatsWidth) : PyRef{};
  PyRef triple =
      stats ? PyRef::steal(PyTuple_Pack(3, params.get(), errors.get(), stats.get())) : PyRef{};
  if (!triple) raise_result_build_fault();
  return triple.release();
}

}  // namespace

PyMethodDef fit_lines_batch_method = {
    "fit_lines_batch", as_method(&fit_lines_batch_call), METH_FASTCALL | METH_KEYWORDS,
    "fit_lines_batch(spectra, velocity, noise, windows, initial, lower, upper, ncomponents, "
    "baseline, fixed=None, centre_ref=None, centre_offset=None, amplitude_ref=None, "
    "amplitude_ratio=None, sigma_ref=None, scale=None, xtol=1e-6, ftol=1e-6, gtol=1e-6, "
    "max_iter=2000)\n"
    "--\n"
    "\n"
    "Fit a line model (K Gaussians and a polynomial baseline) to N spectra.\n"
    "\n"
    "spectra, noise: float32 (N, M); velocity: float32 (M,), km/s; windows: int32\n"
    "(N, 2), each row's half-open channel range [lo, hi). Row i's samples are the\n"
    "window's channels whose velocity, spectra[i] / scale[i] and noise[i] / scale[i]\n"
    "are finite with noise > 0; the residuals are (model - y) / noise.\n"
    "\n"
    "Parameters, P = 3 ncomponents + baseline + 1 of them, in this order: per\n"
    "component (amplitude, centre, sigma), then the baseline's c0, c1, c2 (as\n"
    "many as its order). The baseline is c0 + c1 t + c2 t^2, t = v - v_ref, v_ref\n"
    "the midpoint of the velocities of the row's first and last samples.\n"
    "initial, lower, upper: float32 (N, P), each row's start and bounds;\n"
    "amplitudes and baseline coefficients in units of spectra / scale. An\n"
    "infinite bound is no bound; a start outside its bounds starts on the bound.\n"
    "ncomponents: 1 to 8. baseline: -1 (none), 0, 1 or 2.\n"
    "fixed: bool or uint8 (P,), parameters held at their start (bounds ignored).\n"
    "Ties, one entry per component, -1 for untied: centre_ref with centre_offset\n"
    "(km/s): centre = centre[ref] + offset; amplitude_ref with amplitude_ratio:\n"
    "amplitude = ratio * amplitude[ref]; sigma_ref: sigma = sigma[ref]. A reference\n"
    "must not be tied itself in that attribute. Tied parameters' starts and bounds\n"
    "are not read. scale: float32 (N,), finite and positive, or None for 1.\n"
    "\n"
    "Returns (params, errors, stats): params and errors float32 (N, P) in units of\n"
    "spectra (amplitudes and baseline) and of velocity (centres and sigmas);\n"
    "stats float32 (N, 5): chi2, reduced chi2 = chi2 / max(samples - free, 1),\n"
    "samples, free parameters, flag. Errors are the square roots of the diagonal\n"
    "of (J^T J)^-1, not scaled by the reduced chi2 (multiply by its square root\n"
    "to scale them); a parameter resting on a bound gets 0; a tied one its\n"
    "reference's (times |ratio| for an amplitude); a fixed one 0. Flag 0: success;\n"
    "2: no convergence; 3: fewer samples than free parameters. Unless the flag\n"
    "is 0, params, errors, chi2 and reduced chi2 are NaN.\n"
    "\n"
    "Rows run on the worker pool with the interpreter lock released; the results\n"
    "do not depend on the number of threads. With one component, no baseline,\n"
    "the window and peak value (as scale) that fit_spectra_batch_guided used and\n"
    "its starts and bounds, a row's amplitude, centre, sigma and reduced chi2 are\n"
    "that function's, to the bit."};

}  // namespace quillet::api
