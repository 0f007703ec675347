// The line-model fit of N spectra, each over its own window of channels,
// with the rows on the process's worker pool.
//
// Each row's window [lo, hi) is cut from its spectrum and noise, both
// divided by the row's scale (1 when none is given), and the samples whose
// velocity, quotients and noise are finite with noise > 0 are kept in
// channel order, as the Gaussian window fit keeps them. Amplitudes and
// baseline coefficients are fitted, started and bounded in those scaled
// units and reported (with their errors) multiplied back by the scale;
// centres and sigmas are in the axis's units throughout. With one component,
// no baseline, the Gaussian fit's window, its peak value as the scale and
// its starting values and bounds, a row gives the Gaussian fit's amplitude,
// centre, sigma and reduced chi-square to the bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>

#include "gaussian/array_view.hpp"
#include "gaussian/domain_error.hpp"
#include "gaussian/fit_bounded_gaussian.hpp"
#include "lines/fit_line_model.hpp"
#include "lines/line_model.hpp"
#include "spectrum/window_samples.hpp"

namespace quillet {

// The arrays of a line batch as the binding hands them over; absent
// optional ones are nullopt.
struct LinesBatchArrays {
  ArrayView spectra;                                       // (N, M)
  ArrayView velocity;                                      // (M,)
  ArrayView noise;                                         // (N, M)
  BasicArrayView<std::int32_t> windows;                    // (N, 2): lo, hi
  ArrayView initial;                                       // (N, P)
  ArrayView lower;                                         // (N, P)
  ArrayView upper;                                         // (N, P)
  std::optional<BasicArrayView<std::uint8_t>> fixed;       // (P,), nonzero = fixed
  std::optional<BasicArrayView<std::int32_t>> centre_ref;  // (K,) each
  std::optional<ArrayView> centre_offset;
  std::optional<BasicArrayView<std::int32_t>> amplitude_ref;
  std::optional<ArrayView> amplitude_ratio;
  std::optional<BasicArrayView<std::int32_t>> sigma_ref;
  std::optional<ArrayView> scale;  // (N,)
};

// A checked batch: flat read-only views, the model and the settings.
struct LinesBatchInput {
  std::span<const float> spectra;
  std::span<const float> velocity;
  std::span<const float> noise;
  std::span<const std::int32_t> windows;
  std::span<const float> initial;
  std::span<const float> lower;
  std::span<const float> upper;
  std::span<const float> scale;  // empty: every row's scale is 1
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::size_t longest_window = 0;
  lines::LineModel model;
  FitTolerances tolerances{};
};

// Width of a row of statistics: chi2, reduced chi2, samples, free
// parameters, flag.
inline constexpr std::size_t kLineStatsWidth = 5;

// The three result buffers: rows x P parameters and errors (NaN until
// written) and rows x kLineStatsWidth statistics.
struct LinesBatchOutput {
  std::unique_ptr<float[]> params;
  std::unique_ptr<float[]> errors;
  std::unique_ptr<float[]> stats;
  std::size_t rows = 0;
  std::size_t width = 0;  // P
};

// Checks the batch in order (component count and baseline order, solver
// settings, shapes, layout, the model's ties and fixed parameters, then
// the rows' windows, starts, bounds and scales) and returns the first
// failed check's error, or the flat views.
std::expected<LinesBatchInput, DomainError> check_lines_batch(const LinesBatchArrays& arrays,
                                                              std::int64_t ncomponents,
                                                              std::int64_t baseline,
                                                              const FitTolerances& tolerances);

LinesBatchOutput allocate_lines_output(std::size_t rows, std::size_t width);

// Fits every row into `output` on the process-wide worker pool and returns
// when all are done; touches no Python object. Each row is fitted by one
// thread with the same operations whatever the pool's size, so the bits do
// not depend on it.
void fit_lines_rows(const LinesBatchInput& input, LinesBatchOutput& output);

// The same on a given pool, on the path this process takes
// (process_row_path()) or on a chosen one: the scalar path, or lanes of AVX2
// or AVX-512 where the processor has them (elsewhere the scalar path).
// Models with more than kMaxLineLaneParams free parameters, batches of one
// row and windows longer than kMaxLaneSamples go the scalar way. Every path
// writes the same bits.
class WorkerPool;
enum class RowPath : std::uint8_t;
void fit_lines_rows(const LinesBatchInput& input, LinesBatchOutput& output, WorkerPool& pool);
void fit_lines_rows(const LinesBatchInput& input, LinesBatchOutput& output, WorkerPool& pool,
                    RowPath path);

// A row's way into its fit and out of it, shared by every path: its window's
// valid samples go into `samples` (which must have room for the window);
// the outcome goes into the row's entries of the output.
struct LineRow {
  std::size_t window = 0;  // pixels in the row's window, valid or not
  float scale = 1.0f;
  lines::LineStart start;
};
LineRow collect_line_row(const LinesBatchInput& input, std::size_t row, SampleBuffers& samples);
void write_line_row(const LinesBatchInput& input, LinesBatchOutput& output, std::size_t row,
                    float scale, const lines::LineFit& fit);

}  // namespace quillet
