// Where a window's valid samples go before its fit: three stack buffers for
// a window of up to kStackSamples pixels, one heap block otherwise.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <span>

namespace quillet {

// Windows up to this many pixels keep their samples on the stack, so that the
// usual spectrum fit allocates nothing beyond the solver's own work block.
// Three buffers of 512 floats are 6 KB, which worker-thread stacks allow for.
inline constexpr std::size_t kStackSamples = 512;

namespace window_samples_detail {

// The window's pixels with intensity and noise divided by the peak value.
inline void normalise(std::size_t count, const float* __restrict velocity,
                      const float* __restrict intensity, const float* __restrict noise, float best,
                      float* __restrict x, float* __restrict y, float* __restrict e) {
  for (std::size_t k = 0; k < count; ++k) {
    x[k] = velocity[k];
    y[k] = intensity[k] / best;
    e[k] = noise[k] / best;
  }
}

}  // namespace window_samples_detail

// Destination of the samples that enter the fit: three stack buffers for a
// short window, one heap block cut in three for a longer one.
class SampleBuffers {
 public:
  SampleBuffers() = default;

  // Room for a window of `count` pixels: the stack buffers up to
  // kStackSamples, else a heap block of `count` per buffer, kept for the
  // next window that fits in it (a batch's lanes reuse one object).
  void make_room(std::size_t count) {
    if (count <= kStackSamples) {
      x_ = stack_x_.data();
      y_ = stack_y_.data();
      e_ = stack_e_.data();
      return;
    }
    if (count > heap_capacity_) {
      heap_ = std::make_unique_for_overwrite<float[]>(3 * count);
      heap_capacity_ = count;
    }
    x_ = heap_.get();
    y_ = x_ + heap_capacity_;
    e_ = y_ + heap_capacity_;
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
    window_samples_detail::normalise(count, velocity, intensity, noise, best, x_, y_, e_);
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
  std::size_t heap_capacity_ = 0;
  float* x_ = nullptr;
  float* y_ = nullptr;
  float* e_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace quillet
