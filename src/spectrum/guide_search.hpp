// Where in each spectrum its line is sought, found from the spectrum: the
// channel where the spectrum, smoothed by a boxcar with inverse-variance
// weights, is brightest, then moved to the brightest pixel near it.
//
// Every step is taken in double precision in the order the package's array
// code took it (the running sums from the row's first channel on, each
// window's sum one difference of two of them), so a guide is the same to
// the bit whichever code finds it, and depends on its own row alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "spectrum/worker_pool.hpp"

namespace quillet {

// The noise of the rows: one sigma per row (pixel_stride 0) or per pixel
// (pixel_stride 1), float32 or float64; a row's sigmas start row_stride
// values after the previous row's.
template <class T>
struct GuideNoise {
  const T* sigma = nullptr;
  std::size_t row_stride = 0;
  std::size_t pixel_stride = 0;
};

// How the guides are sought, shared by every row.
struct GuideSearch {
  std::span<const double> axis;          // the channels' velocities
  std::span<const std::uint8_t> inside;  // nonzero: the guide may lie here
  std::size_t half = 0;                  // the boxcar spans 2 half + 1 channels
  // Each guide moves to the brightest usable pixel within this distance of
  // it (when there is one); NaN leaves the guides where the boxcar put them.
  double snap_radius = 0.0;
};

// Doubles of scratch one row's guide needs: four per channel.
std::size_t guide_scratch_size(std::size_t channels);

// The guide of one row (float32; NaN when no pixel inside is usable). A
// pixel is usable where it and its sigma are finite and the sigma is
// positive; its weight is 1 / sigma^2. The smoothed value at a channel is
// sum(w x) / sum(w) over the channels within `half` of it; the guide is the
// velocity of the largest smoothed value among the usable channels inside
// (the first NaN, else the first of equal maxima; the first channel when
// none is usable). `sigma` has one value per pixel_stride.
template <class T>
float guide_of_row(std::span<const float> row, const T* sigma, std::size_t pixel_stride,
                   const GuideSearch& search, std::span<double> scratch);

// guide_of_row of every row into `guides`, the rows shared out on `pool`;
// each participant allocates its scratch once. Touches no Python object.
template <class T>
void guide_rows(std::span<const float> spectra, std::size_t columns, GuideNoise<T> noise,
                const GuideSearch& search, std::span<float> guides, WorkerPool& pool);

}  // namespace quillet
