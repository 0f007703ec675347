#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "gaussian/array_view.hpp"
#include "gaussian/domain_error.hpp"
#include "spectrum/spectrum_fit_params.hpp"

namespace quillet {

// A checked batch: flat read-only views of the four arrays and the settings.
struct BatchInput {
  std::span<const float> spectra;     // rows x columns
  std::span<const float> dopp_slit;   // cut to sg_xpixels
  std::span<const float> spec_noise;  // rows x columns
  std::span<const float> guides;      // rows
  std::size_t rows;
  std::size_t columns;
  SpectrumFitParams params;
};

// The two result buffers: rows x 8 floats (NaN until written) and rows x 2
// int32 windows (0 until written). Each row is written by its own job only.
struct BatchOutput {
  std::unique_ptr<float[]> fits;
  std::unique_ptr<std::int32_t[]> windows;
  std::size_t rows = 0;
};

// Runs the batch checks in order (settings, shapes, lengths, layout) and
// returns the first failed check's error, or the flat views.
std::expected<BatchInput, DomainError> check_batch(const ArrayView& spectra,
                                                   const ArrayView& dopp_slit,
                                                   const ArrayView& spec_noise,
                                                   const ArrayView& guide_velocities,
                                                   const SpectrumFitParams& params);

// Allocates both buffers for `rows` rows, filled with NaN and 0.
BatchOutput allocate_batch_output(std::size_t rows);

// Fits every row of `input` into `output` on the process-wide worker pool
// (created on first use) and returns when all rows are done. Touches no
// Python object: the caller releases the interpreter lock around it. A fault
// inside a row job is rethrown here after every running job has stopped.
void fit_batch_rows(const BatchInput& input, BatchOutput& output);

// The same on a chosen path (lane_path.hpp): the scalar path, or lanes of
// AVX2 or AVX-512 where the processor has them (elsewhere the scalar path).
// Windows longer than kMaxLaneSamples, and batches of one row, always go
// the scalar way. Every path writes the same bits.
enum class RowPath : std::uint8_t;
void fit_batch_rows(const BatchInput& input, BatchOutput& output, RowPath path);

}  // namespace quillet
