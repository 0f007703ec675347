#include "spectrum/validate_spectrum_params.hpp"

#include <cmath>

#include "gaussian/check_tolerances.hpp"

namespace quillet {

std::optional<DomainError> validate_spectrum_params(const SpectrumFitParams& params) {
  if (!(params.sg_xpixels > 0)) return DomainError{"n_pixels must be positive"};

  // The comparisons below are written so that they would also fail on NaN,
  // but finiteness comes first so that an infinite or NaN setting is reported
  // as such rather than as a violated inequality.
  const bool settings_finite = std::isfinite(params.velocity_range) && std::isfinite(params.dv) &&
                               std::isfinite(params.width_min) &&
                               std::isfinite(params.amplitude_rel_min) &&
                               std::isfinite(params.amplitude_rel_max) &&
                               std::isfinite(params.width_max) && std::isfinite(params.width_guess);
  if (!settings_finite) return DomainError{"fit parameters must be finite"};

  if (!(params.velocity_range >= 0.0f)) return DomainError{"velocity_range must be non-negative"};
  if (!(params.npix > 0)) return DomainError{"npix must be positive"};
  if (!(params.npix_slack >= 0)) return DomainError{"npix_slack must be non-negative"};
  if (!(params.dv > 0.0f)) return DomainError{"dv must be positive"};
  if (!(params.width_min > 0.0f && params.width_min < params.width_max &&
        params.width_guess > 0.0f)) {
    return DomainError{
        "width_min, width_max, and width_guess must define positive increasing widths"};
  }
  if (!(params.amplitude_rel_min < params.amplitude_rel_max)) {
    return DomainError{"amplitude_rel_min must be less than amplitude_rel_max"};
  }

  return check_tolerances(params.tolerances);
}

}  // namespace quillet
