#pragma once

#include <expected>

#include "gaussian/array_view.hpp"
#include "gaussian/domain_error.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/spectrum_fit_params.hpp"

namespace quillet {

// Body of the module function `fit_single_spectrum`: validates the settings,
// then the arrays' layout and length, then fits.
std::expected<SpectrumFitOutcome, DomainError> fit_single_spectrum(const ArrayView& spectrum,
                                                                   const ArrayView& dopp_slit,
                                                                   const ArrayView& spec_noise,
                                                                   float guide_velocity,
                                                                   const SpectrumFitParams& params);

}  // namespace quillet
