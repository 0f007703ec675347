// The kernel function `check_spectrum_settings`: binds and converts the
// fourteen settings of the spectrum functions exactly as they do and runs
// their settings checks, so that the package can check settings once, where
// they are made, with _quillet's own conversions and messages.
#include <optional>

#include "api/argument_binding.hpp"
#include "api/argument_conversion.hpp"
#include "api/convert_spectrum_fit_params.hpp"
#include "api/exceptions.hpp"
#include "api/module_functions.hpp"
#include "spectrum/validate_spectrum_params.hpp"

namespace quillet::api {
namespace {

const Signature kSignature{"check_spectrum_settings", kSpectrumSettingNames,
                           kRequiredSpectrumSettings};

PyObject* check_spectrum_settings_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
  BoundArguments bound;
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  const ArgumentConverter convert(kSignature, bound);
  SpectrumFitParams params{};
  if (!convert_spectrum_fit_params(convert, params, 0)) return nullptr;
  if (const std::optional<DomainError> error = validate_spectrum_params(params)) {
    return raise_domain_error(*error);
  }
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef check_spectrum_settings_method = {
    "check_spectrum_settings", as_method(&check_spectrum_settings_call),
    METH_FASTCALL | METH_KEYWORDS,
    "check_spectrum_settings(velocity_range, npix, npix_slack, dv, width_min, sg_xpixels, "
    "amplitude_rel_min, amplitude_rel_max, width_max, width_guess, xtol=..., ftol=..., gtol=..., "
    "max_iter=...)\n"
    "--\n"
    "\n"
    "Check the fourteen settings of the spectrum fits without fitting.\n"
    "\n"
    "Converts them as `_quillet.fit_single_spectrum` and\n"
    "`_quillet.fit_spectra_batch_guided` do (TypeError, OverflowError), runs\n"
    "the same checks in the same order and raises the first failed check's\n"
    "ValueError; returns None when the settings would be accepted."};

}  // namespace quillet::api
