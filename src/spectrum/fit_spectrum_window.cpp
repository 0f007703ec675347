#include "spectrum/fit_spectrum_window.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <variant>

#include "gaussian/fit_bounded_gaussian.hpp"
#include "gaussian/reduced_chi2.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/window_samples.hpp"

namespace quillet {
namespace {

struct PixelRange {
  std::int64_t left;
  std::int64_t right;
};

// The window of half-width h round pixel p, cut to [0, n). A window that an
// end of the spectrum clipped is widened once by one pixel, so that a line at
// the edge still gets a few samples on its inner side. Everything is int64:
// p + h + 2 with h near 2^31 must not overflow.
PixelRange window_around(std::int64_t p, std::int64_t h, std::int64_t n) {
  PixelRange range{p < h ? 0 : p - h, std::min(p + h + 1, n)};
  if (range.right - range.left <= 2 * h) {
    range.left = p < h + 1 ? 0 : p - h - 1;
    range.right = std::min(p + h + 2, n);
  }
  return range;
}

SpectrumFitOutcome no_local_max(Window window = {0, 0}) {
  return {FitResult::failure(kFlagNoLocalMax), window};
}

// The search reaches npix_slack pixels beyond velocity_range, so that a
// brighter neighbour just outside the accepted interval is seen and makes
// the spectrum be rejected rather than fitted on the flank of that line.
float search_radius(const SpectrumFitParams& params) {
  const float slack = static_cast<float>(params.npix_slack) * params.dv;
  return slack + params.velocity_range;
}

}  // namespace

PixelRun window_search_run(std::span<const float> dopp_slit, float guide,
                           const SpectrumFitParams& params, AxisOrder order) {
  return search_run(dopp_slit.first(static_cast<std::size_t>(params.sg_xpixels)), guide,
                    search_radius(params), order);
}

std::variant<SpectrumFitOutcome, WindowProblem> prepare_window_fit(
    std::span<const float> spectrum, std::span<const float> dopp_slit,
    std::span<const float> spec_noise, float guide, const SpectrumFitParams& params,
    PixelRun search, SampleBuffers& samples) {
  const std::int64_t n = params.sg_xpixels;
  const std::optional<Peak> peak = find_peak_in(
      spectrum, dopp_slit.first(static_cast<std::size_t>(n)), guide, search_radius(params), search);
  if (!peak) return no_local_max();

  const float best = peak->value;
  const float w = dopp_slit[peak->pixel];
  if (!(std::abs(w - guide) <= params.velocity_range)) return no_local_max();

  const std::int32_t h = std::max(params.npix, std::int32_t{0});
  const PixelRange range = window_around(peak->pixel, h, n);
  // Reported as int32 like every window; n beyond 2^31 pixels wraps.
  const Window window{static_cast<std::int32_t>(range.left),
                      static_cast<std::int32_t>(range.right)};
  const float hw = params.dv * static_cast<float>(h);

  // Intensity and noise are divided by the peak value, so the fit starts at
  // amplitude 1 and the amplitude bounds are relative to the peak.
  const auto window_pixels = static_cast<std::size_t>(range.right - range.left);
  samples.make_room(window_pixels);
  samples.collect(dopp_slit.data() + range.left, spectrum.data() + range.left,
                  spec_noise.data() + range.left, window_pixels, best);
  if (samples.count() < 3) return no_local_max(window);

  return WindowProblem{
      .problem{
          samples.x(),
          samples.y(),
          samples.e(),
          {1.0f, w, params.width_guess},
          {params.amplitude_rel_min, params.amplitude_rel_max, w - hw, w + hw, params.width_min,
           params.width_max},
          params.tolerances,
      },
      .best = best,
      .window = window,
  };
}

SpectrumFitOutcome window_fit_outcome(float best, Window window, std::size_t samples,
                                      const std::optional<GaussianFit>& fit) {
  if (!fit) return {FitResult::failure(kFlagNoConvergence), window};
  // Only the amplitude and its error carry the intensity scale back.
  const FitResult result{{fit->amplitude * best, fit->centre, fit->sigma,
                          best * fit->amplitude_error, fit->centre_error, fit->sigma_error,
                          reduced_chi2(fit->chi2, samples), kFlagSuccess}};
  return {result, window};
}

std::size_t window_capacity(const SpectrumFitParams& params) {
  const auto h = static_cast<std::uint64_t>(std::max(params.npix, std::int32_t{0}));
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(2 * h + 3, static_cast<std::uint64_t>(params.sg_xpixels)));
}

SpectrumFitOutcome fit_spectrum_window(std::span<const float> spectrum,
                                       std::span<const float> dopp_slit,
                                       std::span<const float> spec_noise, float guide,
                                       const SpectrumFitParams& params, AxisOrder order) {
  return fit_spectrum_window(spectrum, dopp_slit, spec_noise, guide, params,
                             window_search_run(dopp_slit, guide, params, order));
}

SpectrumFitOutcome fit_spectrum_window(std::span<const float> spectrum,
                                       std::span<const float> dopp_slit,
                                       std::span<const float> spec_noise, float guide,
                                       const SpectrumFitParams& params, PixelRun search) {
  SampleBuffers samples;
  auto prepared =
      prepare_window_fit(spectrum, dopp_slit, spec_noise, guide, params, search, samples);
  if (const auto* outcome = std::get_if<SpectrumFitOutcome>(&prepared)) return *outcome;
  const WindowProblem& window = std::get<WindowProblem>(prepared);
  return window_fit_outcome(window.best, window.window, window.problem.x.size(),
                            fit_bounded_gaussian(window.problem));
}

}  // namespace quillet
