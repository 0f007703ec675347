#include "spectrum/fit_spectrum_window.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <optional>

#include "gaussian/fit_bounded_gaussian.hpp"
#include "gaussian/reduced_chi2.hpp"
#include "spectrum/peak_search.hpp"

namespace quillet {
namespace {

// Windows up to this many pixels keep their samples on the stack, so that the
// usual spectrum fit allocates nothing beyond the solver's own work block.
// Three buffers of 512 floats are 6 KB, which worker-thread stacks allow for.
constexpr std::size_t kStackSamples = 512;

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

// The window's pixels with intensity and noise divided by the peak value.
void normalise(std::size_t count, const float* __restrict velocity,
               const float* __restrict intensity, const float* __restrict noise, float best,
               float* __restrict x, float* __restrict y, float* __restrict e) {
  for (std::size_t k = 0; k < count; ++k) {
    x[k] = velocity[k];
    y[k] = intensity[k] / best;
    e[k] = noise[k] / best;
  }
}

// Destination of the samples that enter the fit: three stack buffers for a
// short window, one heap block cut in three for a longer one.
class SampleBuffers {
 public:
  explicit SampleBuffers(std::size_t capacity) {
    if (capacity <= kStackSamples) {
      x_ = stack_x_.data();
      y_ = stack_y_.data();
      e_ = stack_e_.data();
    } else {
      heap_ = std::make_unique_for_overwrite<float[]>(3 * capacity);
      x_ = heap_.get();
      y_ = x_ + capacity;
      e_ = y_ + capacity;
    }
  }
  SampleBuffers(const SampleBuffers&) = delete;
  SampleBuffers& operator=(const SampleBuffers&) = delete;

  // Takes the window's `count` pixels, divides intensity and noise by the
  // peak value, and keeps the samples whose velocity, quotients and noise
  // pass (noise > 0), in pixel order. All quotients are formed first, in one
  // loop that runs several pixels per step; the same single-precision
  // division of each pixel either way.
  void collect(const float* velocity, const float* intensity, const float* noise, std::size_t count,
               float best) {
    normalise(count, velocity, intensity, noise, best, x_, y_, e_);
    std::size_t kept = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const float x = x_[k];
      const float y = y_[k];
      const float e = e_[k];
      if (std::isfinite(x) && std::isfinite(y) && std::isfinite(e) && e > 0.0f) {
        x_[kept] = x;
        y_[kept] = y;
        e_[kept] = e;
        ++kept;
      }
    }
    count_ = kept;
  }
  std::size_t count() const { return count_; }
  std::span<const float> x() const { return {x_, count_}; }
  std::span<const float> y() const { return {y_, count_}; }
  std::span<const float> e() const { return {e_, count_}; }

 private:
  std::array<float, kStackSamples> stack_x_;
  std::array<float, kStackSamples> stack_y_;
  std::array<float, kStackSamples> stack_e_;
  std::unique_ptr<float[]> heap_;
  float* x_ = nullptr;
  float* y_ = nullptr;
  float* e_ = nullptr;
  std::size_t count_ = 0;
};

SpectrumFitOutcome no_local_max(Window window = {0, 0}) {
  return {FitResult::failure(kFlagNoLocalMax), window};
}

}  // namespace

SpectrumFitOutcome fit_spectrum_window(std::span<const float> spectrum,
                                       std::span<const float> dopp_slit,
                                       std::span<const float> spec_noise, float guide,
                                       const SpectrumFitParams& params, AxisOrder order) {
  const std::int64_t n = params.sg_xpixels;

  // The search reaches npix_slack pixels beyond velocity_range, so that a
  // brighter neighbour just outside the accepted interval is seen and makes
  // the spectrum be rejected rather than fitted on the flank of that line.
  const float slack = static_cast<float>(params.npix_slack) * params.dv;
  const float radius = slack + params.velocity_range;
  const std::optional<Peak> peak =
      find_peak(spectrum, dopp_slit.first(static_cast<std::size_t>(n)), guide, radius, order);
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
  SampleBuffers samples(window_pixels);
  samples.collect(dopp_slit.data() + range.left, spectrum.data() + range.left,
                  spec_noise.data() + range.left, window_pixels, best);
  if (samples.count() < 3) return no_local_max(window);

  const BoundedGaussianProblem problem{
      samples.x(),
      samples.y(),
      samples.e(),
      {1.0f, w, params.width_guess},
      {params.amplitude_rel_min, params.amplitude_rel_max, w - hw, w + hw, params.width_min,
       params.width_max},
      params.tolerances,
  };
  const std::optional<GaussianFit> fit = fit_bounded_gaussian(problem);
  if (!fit) return {FitResult::failure(kFlagNoConvergence), window};

  // Only the amplitude and its error carry the intensity scale back.
  const FitResult result{{fit->amplitude * best, fit->centre, fit->sigma,
                          best * fit->amplitude_error, fit->centre_error, fit->sigma_error,
                          reduced_chi2(fit->chi2, samples.count()), kFlagSuccess}};
  return {result, window};
}

}  // namespace quillet
