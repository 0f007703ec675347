#pragma once

#include <cstdint>

#include "gaussian/fit_bounded_gaussian.hpp"

namespace quillet {

// The fourteen settings shared by both spectrum calls, in argument order.
struct SpectrumFitParams {
  float velocity_range;     // half-width of the accepted peak interval round the guide
  std::int32_t npix;        // half-width of the fit window, in pixels
  std::int32_t npix_slack;  // extra pixels the peak search reaches beyond velocity_range
  float dv;                 // velocity step of one pixel
  float width_min;          // lower bound of sigma
  std::int64_t sg_xpixels;  // leading pixels of each spectrum that are used
  float amplitude_rel_min;  // amplitude bounds relative to the peak value
  float amplitude_rel_max;
  float width_max;    // upper bound of sigma
  float width_guess;  // starting sigma
  FitTolerances tolerances;
};

}  // namespace quillet
