// Valid spectrum settings the spectrum tests start from.
#ifndef QUILLET_TESTING
#error "test support: only test targets, which link quillet_testing, include this header"
#endif
#pragma once

#include "spectrum/spectrum_fit_params.hpp"

namespace quillet {

// Valid settings for tests, on a 100-pixel spectrum with 10 km/s pixels: the
// peak search reaches 2 * 10 + 15 = 35 km/s from the guide, a peak is
// accepted within 15 km/s, and the window's half-width is 3 pixels.
inline SpectrumFitParams example_spectrum_params() {
  return {
      .velocity_range = 15.0f,
      .npix = 3,
      .npix_slack = 2,
      .dv = 10.0f,
      .width_min = 1.0f,
      .sg_xpixels = 100,
      .amplitude_rel_min = 0.1f,
      .amplitude_rel_max = 2.0f,
      .width_max = 200.0f,
      .width_guess = 20.0f,
      .tolerances = {.xtol = 1e-6f, .ftol = 1e-6f, .gtol = 1e-6f, .max_iter = 2000},
  };
}

}  // namespace quillet
