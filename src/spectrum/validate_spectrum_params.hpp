#pragma once

#include <optional>

#include "gaussian/domain_error.hpp"
#include "spectrum/spectrum_fit_params.hpp"

namespace quillet {

// The settings checks both spectrum calls run before looking at any array;
// returns the first failed check's error, or nothing when all pass.
std::optional<DomainError> validate_spectrum_params(const SpectrumFitParams& params);

}  // namespace quillet
