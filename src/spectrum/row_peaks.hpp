// The peak each row's fit is built round, found for many rows at once: the
// brightest pixel within the search radius of the row's guide (find_peak),
// accepted when within the velocity range of the guide, and the row's count
// of finite pixels. What the judging of the fits reads beside the fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "spectrum/worker_pool.hpp"

namespace quillet {

struct RowPeakSearch {
  std::span<const float> axis;  // the velocities of the channels searched
  float radius = 0.0f;          // pixels are read within this of the guide
  float velocity_range = 0.0f;  // the peak is accepted within this of it
};

// Where each row's answers go, one value per row.
struct RowPeakOutputs {
  std::span<std::int32_t> channel;  // -1 where no peak is accepted
  std::span<float> value;           // NaN where no peak is accepted
  std::span<std::int32_t> finite;   // finite pixels among those searched
};

struct RowPeak {
  std::int32_t channel;
  float value;
  std::int32_t finite;
};

// The peak of one row: its first search.axis.size() pixels are read.
RowPeak row_peak(std::span<const float> row, float guide, const RowPeakSearch& search);

// row_peak of every row (rows of `columns` pixels, each read up to the
// axis's length) with its guide, the rows shared out on `pool`.
void row_peaks(std::span<const float> spectra, std::size_t columns, std::span<const float> guides,
               const RowPeakSearch& search, const RowPeakOutputs& out, WorkerPool& pool);

}  // namespace quillet
