// The noise of a spectrum estimated from the spectrum itself (DER_SNR): the
// median of |2 f_i - f_(i-2) - f_(i+2)| over its pixels, times 1.482602 /
// sqrt(6). A smooth signal cancels in that second difference of pixels two
// apart, while independent noise of sigma gives it a spread of sqrt(6) sigma
// whose median absolute value is sqrt(6) sigma / 1.482602.
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "gaussian/array_view.hpp"
#include "gaussian/domain_error.hpp"
#include "spectrum/worker_pool.hpp"

namespace quillet {

// Rows of spectra checked for the noise estimate: rows x columns float32
// values, row-major.
struct NoiseRows {
  std::span<const float> spectra;
  std::size_t rows = 0;
  std::size_t columns = 0;
};

// The 2-D spectra as one flat sequence, or the layout error.
std::expected<NoiseRows, DomainError> check_noise_rows(const ArrayView& spectra);

// How many floats of scratch der_snr_row needs for a row of `columns`
// pixels: two per second difference (the differences, and the room the
// selection of their median partitions them into).
std::size_t der_snr_scratch_size(std::size_t columns);

// The DER_SNR noise of one row. Each second difference is formed in float32
// as ((2 f_i) - f_(i-2)) - f_(i+2) and its magnitude taken; a NaN difference
// (a NaN pixel, or infinities that cancel) takes no part, while an infinite
// one counts as the largest. The median of those left is the mean, in
// float64, of the two middle ones (the one, for an odd count). NaN for a row
// of fewer than five pixels or with no difference left. `scratch` holds at
// least der_snr_scratch_size(row.size()) floats and is overwritten.
double der_snr_row(std::span<const float> row, std::span<float> scratch);

// der_snr_row of every row into `noise` (rows values), the rows shared out on
// `pool`; each participant allocates its scratch once. The values do not
// depend on the pool's size. Touches no Python object.
void der_snr_rows(const NoiseRows& input, std::span<double> noise, WorkerPool& pool);

}  // namespace quillet
