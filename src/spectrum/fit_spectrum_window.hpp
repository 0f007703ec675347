#pragma once

#include <cstdint>
#include <span>

#include "gaussian/fit_result.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/spectrum_fit_params.hpp"

namespace quillet {

// Half-open pixel range [i_left, i_right) offered to a fit; (0, 0) when no
// acceptable peak was found.
struct Window {
  std::int32_t i_left;
  std::int32_t i_right;
};

struct SpectrumFitOutcome {
  FitResult result;
  Window window;
};

// Fits the line nearest `guide` in one spectrum: peak search, window,
// normalisation by the peak, bounds, bounded fit. The three views hold
// params.sg_xpixels values each; `params` is validated. `order` is what
// axis_order() says of `dopp_slit` (a batch asks once for all its rows); it
// only spares the peak search pixels that cannot qualify, and Unsorted is
// always correct. Never fails: every outcome is in the result's flag. Keeps
// no state.
SpectrumFitOutcome fit_spectrum_window(std::span<const float> spectrum,
                                       std::span<const float> dopp_slit,
                                       std::span<const float> spec_noise, float guide,
                                       const SpectrumFitParams& params,
                                       AxisOrder order = AxisOrder::Unsorted);

}  // namespace quillet
