#include "spectrum/fit_spectra_batch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "gaussian/fit_result.hpp"
#include "spectrum/batch_rows.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/lane_path.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/row_fault_injection.hpp"
#include "spectrum/validate_spectrum_params.hpp"
#include "spectrum/worker_pool.hpp"

namespace quillet {

std::expected<BatchInput, DomainError> check_batch(const ArrayView& spectra,
                                                   const ArrayView& dopp_slit,
                                                   const ArrayView& spec_noise,
                                                   const ArrayView& guide_velocities,
                                                   const SpectrumFitParams& params) {
  if (const std::optional<DomainError> error = validate_spectrum_params(params)) {
    return std::unexpected(*error);
  }
  const std::int64_t rows = spectra.shape[0];
  const std::int64_t columns = spectra.shape[1];
  if (columns < params.sg_xpixels) {
    return std::unexpected(DomainError{"spectra columns must be at least sg_xpixels"});
  }
  if (spec_noise.shape[0] != rows || spec_noise.shape[1] != columns) {
    return std::unexpected(DomainError{"spec_noise shape must match spectra shape"});
  }
  if (guide_velocities.element_count() != rows) {
    return std::unexpected(DomainError{"guide_velocities length must match spectra rows"});
  }
  if (dopp_slit.element_count() < params.sg_xpixels) {
    return std::unexpected(DomainError{"dopp_slit must be at least sg_xpixels long"});
  }

  // The contiguity test, array by array in this order; each array that
  // passes is read as one flat sequence.
  const std::array<std::pair<const ArrayView*, const char*>, 4> layouts{{
      {&spectra, "spectra must be a C-contiguous float32 array"},
      {&dopp_slit, "dopp_slit must be a contiguous float32 array"},
      {&spec_noise, "spec_noise must be a C-contiguous float32 array"},
      {&guide_velocities, "guide_velocities must be a contiguous float32 array"},
  }};
  std::array<std::span<const float>, 4> flat;
  for (std::size_t k = 0; k < layouts.size(); ++k) {
    const std::optional<std::span<const float>> sequence = layouts[k].first->flat();
    if (!sequence) return std::unexpected(DomainError{layouts[k].second});
    flat[k] = *sequence;
  }

  return BatchInput{
      .spectra = flat[0],
      .dopp_slit = flat[1].first(static_cast<std::size_t>(params.sg_xpixels)),
      .spec_noise = flat[2],
      .guides = flat[3],
      .rows = static_cast<std::size_t>(rows),
      .columns = static_cast<std::size_t>(columns),
      .params = params,
  };
}

BatchOutput allocate_batch_output(std::size_t rows) {
  constexpr std::size_t kFitWidth = std::tuple_size_v<decltype(FitResult::values)>;
  // rows * 8 floats must be countable before it can be allocated; a count
  // that wraps would hand back a buffer too short for its rows.
  if (rows > std::numeric_limits<std::size_t>::max() / kFitWidth) {
    throw std::bad_array_new_length();
  }
  BatchOutput output{
      .fits = std::make_unique_for_overwrite<float[]>(rows * kFitWidth),
      .windows = std::make_unique<std::int32_t[]>(rows * 2),
      .rows = rows,
  };
  std::fill_n(output.fits.get(), rows * kFitWidth, kResultNaN);
  return output;
}

namespace {

// The rows a participant claims, each fitted exactly as the single-spectrum
// call fits one spectrum and written to its row of both buffers and nowhere
// else.
void fit_batch_rows_one_by_one(const BatchInput& input, AxisOrder order, BatchOutput& output,
                               WorkerPool::Claims& claims) {
  RowClaims rows(input, order, claims);
  while (const std::optional<RowClaims::Row> row = rows.next()) {
    const std::size_t i = row->index;
    inject_row_fault(i);
    write_row(output, i,
              fit_spectrum_window(row_spectrum(input, i), input.dopp_slit, row_noise(input, i),
                                  input.guides[i], input.params, row->search));
  }
}

}  // namespace

void fit_batch_rows(const BatchInput& input, BatchOutput& output) {
  fit_batch_rows(input, output, process_row_path());
}

void fit_batch_rows(const BatchInput& input, BatchOutput& output, RowPath path) {
  // The pool is made (and sized) before the rows are looked at, so even an
  // empty batch starts it.
  WorkerPool& pool = process_pool();
  if (output.rows != input.rows) {
    throw std::logic_error("batch output buffers do not match the batch's row count");
  }
  // All rows share one axis: its order is learnt once, and each row's peak
  // search then reads only the pixels near its guide.
  const AxisOrder order = axis_order(input.dopp_slit);
  const bool lanes = path != RowPath::Scalar && row_path_runs_here(path) && input.rows > 1 &&
                     window_capacity(input.params) <= kMaxLaneSamples;
  pool.for_each_participant(input.rows,
                            [&input, order, &output, path, lanes](WorkerPool::Claims& claims) {
                              if (lanes) {
                                fit_rows_in_lanes(path, input, order, output, claims);
                              } else {
                                fit_batch_rows_one_by_one(input, order, output, claims);
                              }
                            });
}

}  // namespace quillet
