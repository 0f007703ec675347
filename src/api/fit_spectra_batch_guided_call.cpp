// The module function `fit_spectra_batch_guided`: binds and converts its
// eighteen arguments, checks the batch, fits the rows with the interpreter
// lock released and returns (fits (N, 8), windows (N, 2)).
#include <array>
#include <optional>

#include "api/argument_binding.hpp"
#include "api/argument_conversion.hpp"
#include "api/convert_spectrum_fit_params.hpp"
#include "api/exceptions.hpp"
#include "api/interpreter_lock_release.hpp"
#include "api/module_functions.hpp"
#include "api/result_arrays.hpp"
#include "api/run_body.hpp"
#include "spectrum/fit_spectra_batch.hpp"

namespace quillet::api {
namespace {

constexpr std::array<const char*, 18> kParameters =
    spectrum_parameter_names("spectra", "guide_velocities");
const Signature kSignature{"fit_spectra_batch_guided", kParameters, kRequiredSpectrumParameters};

constexpr std::size_t kFitWidth = 8;
constexpr std::size_t kWindowWidth = 2;

// The (fits, windows) tuple, or null with an exception pending. The buffers
// must hold exactly `rows` rows each.
PyRef batch_result(BatchOutput output, std::size_t rows) {
  if (output.rows * kFitWidth != rows * kFitWidth) {
    PyErr_SetString(PyExc_RuntimeError, "failed to build fit result array");
    return {};
  }
  if (output.rows * kWindowWidth != rows * kWindowWidth) {
    PyErr_SetString(PyExc_RuntimeError, "failed to build index result array");
    return {};
  }
  PyRef fits = fit_rows_array(std::move(output.fits), rows);
  PyRef windows = fits ? window_rows_array(std::move(output.windows), rows) : PyRef{};
  PyRef pair = windows ? PyRef::steal(PyTuple_Pack(2, fits.get(), windows.get())) : PyRef{};
  if (!pair) raise_result_build_fault();
  return pair;
}

PyObject* fit_spectra_batch_guided_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;

  const ArgumentConverter convert(kSignature, bound);
  ArrayArgument spectra, dopp_slit, spec_noise, guide_velocities;
  SpectrumFitParams params{};
  const bool converted = convert.array(0, 2, spectra) && convert.array(1, 1, dopp_slit) &&
                         convert.array(2, 2, spec_noise) && convert.array(3, 1, guide_velocities) &&
                         convert_spectrum_fit_params(convert, params);
  if (!converted) return nullptr;

  const std::optional<BatchInput> input = run_body([&] {
    return check_batch(spectra.view, dopp_slit.view, spec_noise.view, guide_velocities.view,
                       params);
  });
  if (!input) return nullptr;

  BatchOutput output;
  // The rows are fitted from the arrays' memory with the lock released: the
  // ArrayArguments above keep the arrays alive until this function returns,
  // and the row jobs touch no Python object.
  if (!guard_internal_faults([&] {
        output = allocate_batch_output(input->rows);
        const InterpreterLockRelease unlocked;
        fit_batch_rows(*input, output);
      })) {
    return nullptr;
  }
  return batch_result(std::move(output), input->rows).release();
}

}  // namespace

PyMethodDef fit_spectra_batch_guided_method = {
    "fit_spectra_batch_guided", as_method(&fit_spectra_batch_guided_call),
    METH_FASTCALL | METH_KEYWORDS,
    "fit_spectra_batch_guided(spectra, dopp_slit, spec_noise, guide_velocities, velocity_range, "
    "npix, npix_slack, dv, width_min, sg_xpixels, amplitude_rel_min, amplitude_rel_max, "
    "width_max, width_guess, xtol=..., ftol=..., gtol=..., max_iter=...)\n"
    "--\n"
    "\n"
    "Fit Gaussians to N spectra with one guide velocity per spectrum.\n"
    "\n"
    "This is equivalent to `fit_spectra_batch`, except `guide_velocities[i]` is\n"
    "used when fitting row `i`. Each result row carries the same flag set as\n"
    "`fit_single_spectrum`; a non-finite guide matches no pixel and yields\n"
    "`FLAG_NO_LOCAL_MAX`, as in the C extension."};

}  // namespace quillet::api
