#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "gaussian/fit_bounded_gaussian.hpp"
#include "gaussian/fit_result.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/spectrum_fit_params.hpp"
#include "spectrum/window_samples.hpp"

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

// The same with the peak search's run already found (window_search_run).
SpectrumFitOutcome fit_spectrum_window(std::span<const float> spectrum,
                                       std::span<const float> dopp_slit,
                                       std::span<const float> spec_noise, float guide,
                                       const SpectrumFitParams& params, PixelRun search);

// The pixels of `dopp_slit` (sg_xpixels of them) that the peak search of a
// window fit round `guide` reads (see search_run): its radius reaches
// npix_slack pixels beyond velocity_range.
PixelRun window_search_run(std::span<const float> dopp_slit, float guide,
                           const SpectrumFitParams& params, AxisOrder order);

// The two halves of fit_spectrum_window, for a caller that runs the bounded
// fit itself (the batch's lanes): first everything before the fit, which
// either ends in an outcome (no acceptable peak, too few samples) or yields
// the problem to fit over `samples`' buffers; then the outcome of that fit,
// from the peak value, the window and the number of samples fitted. `search`
// is what window_search_run gives for the row (a batch finds it when it
// claims the row).
struct WindowProblem {
  BoundedGaussianProblem problem;
  float best;  // the peak value the window was divided by
  Window window;
};
std::variant<SpectrumFitOutcome, WindowProblem> prepare_window_fit(
    std::span<const float> spectrum, std::span<const float> dopp_slit,
    std::span<const float> spec_noise, float guide, const SpectrumFitParams& params,
    PixelRun search, SampleBuffers& samples);
SpectrumFitOutcome window_fit_outcome(float best, Window window, std::size_t samples,
                                      const std::optional<GaussianFit>& fit);

// The most pixels a window of these settings can hold, and so the most
// samples its fit can have: 2 npix + 3 (a clipped window widens by one
// pixel each side), and never more than the pixels used.
std::size_t window_capacity(const SpectrumFitParams& params);

}  // namespace quillet
