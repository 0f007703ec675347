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
#include "spectrum/fit_spectrum_window.hpp"
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

// Rows lie far apart in memory, and a row's fit reads only a short stretch
// of it round its guide, which no hardware prefetcher foresees; so each row
// job asks for the next row's stretch (its peak search run, widened by the
// window's reach) while it fits its own. Only a hint: nothing depends on it.
void prefetch_row(const BatchInput& input, AxisOrder order, std::size_t i) {
  if (i >= input.rows || order == AxisOrder::Unsorted) return;
  const SpectrumFitParams& p = input.params;
  const float radius = static_cast<float>(p.npix_slack) * p.dv + p.velocity_range;
  const PixelRun run = search_run(input.dopp_slit, input.guides[i], radius, order);
  const auto reach = static_cast<std::size_t>(std::max(p.npix, std::int32_t{0})) + 1;
  const std::size_t used = input.dopp_slit.size();
  const std::size_t begin = run.begin > reach ? run.begin - reach : 0;
  const std::size_t end = std::min(used, run.end + reach);
  if (begin >= end) return;
  constexpr std::size_t kFloatsPerLine = 64 / sizeof(float);
  const float* const spectrum = input.spectra.data() + i * input.columns;
  const float* const noise = input.spec_noise.data() + i * input.columns;
  for (std::size_t k = begin; k < end + kFloatsPerLine - 1; k += kFloatsPerLine) {
    const std::size_t at = std::min(k, end - 1);
    __builtin_prefetch(spectrum + at);
    __builtin_prefetch(noise + at);
  }
}

// Row i of the batch, fitted exactly as the single-spectrum call fits one
// spectrum, written to row i of both buffers and nowhere else.
void fit_batch_row(const BatchInput& input, AxisOrder order, BatchOutput& output, std::size_t i) {
  prefetch_row(input, order, i + 1);
  inject_row_fault(i);
  const std::size_t used = static_cast<std::size_t>(input.params.sg_xpixels);
  const std::size_t start = i * input.columns;
  const SpectrumFitOutcome outcome = fit_spectrum_window(
      input.spectra.subspan(start, used), input.dopp_slit, input.spec_noise.subspan(start, used),
      input.guides[i], input.params, order);
  std::ranges::copy(outcome.result.values, output.fits.get() + i * outcome.result.values.size());
  output.windows[2 * i] = outcome.window.i_left;
  output.windows[2 * i + 1] = outcome.window.i_right;
}

}  // namespace

void fit_batch_rows(const BatchInput& input, BatchOutput& output) {
  // The pool is made (and sized) before the rows are looked at, so even an
  // empty batch starts it.
  WorkerPool& pool = process_pool();
  if (output.rows != input.rows) {
    throw std::logic_error("batch output buffers do not match the batch's row count");
  }
  // All rows share one axis: its order is learnt once, and each row's peak
  // search then reads only the pixels near its guide.
  const AxisOrder order = axis_order(input.dopp_slit);
  pool.for_each_index(input.rows, [&input, order, &output](std::size_t i) {
    fit_batch_row(input, order, output, i);
  });
}

}  // namespace quillet
