// The pieces of a batch row job that every way of fitting rows shares: the
// rows a participant claims, with their peak search's run and the prefetch
// of the next one, the row's views, and the writing of an outcome.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "spectrum/fit_spectra_batch.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/worker_pool.hpp"

namespace quillet {

// The rows one participant of a batch fits, in the order it claims them,
// each claimed one row ahead: while a row is fitted the participant's next
// row is known, its peak search's run found (window_search_run) and the
// stretch of it that the fit will read prefetched, and the run then serves
// that row's peak search too. Rows lie far apart in memory and a fit reads
// only a short stretch round its guide, which no hardware prefetcher
// foresees. A row claimed ahead when the batch stops on a fault is never
// fitted, like any row nobody had reached.
class RowClaims {
 public:
  struct Row {
    std::size_t index;
    PixelRun search;
  };

  RowClaims(const BatchInput& input, AxisOrder order, WorkerPool::Claims& claims);
  RowClaims(const RowClaims&) = delete;
  RowClaims& operator=(const RowClaims&) = delete;

  // The next row to fit, or nothing once the batch has none left for it.
  std::optional<Row> next();

 private:
  std::optional<Row> claim();

  const BatchInput& input_;
  AxisOrder order_;
  WorkerPool::Claims& claims_;
  std::optional<Row> ahead_;
};

// Row i's spectrum and noise, sg_xpixels values each.
std::span<const float> row_spectrum(const BatchInput& input, std::size_t i);
std::span<const float> row_noise(const BatchInput& input, std::size_t i);

// Row i of both result buffers, written by this row's job alone.
void write_row(BatchOutput& output, std::size_t i, const SpectrumFitOutcome& outcome);

}  // namespace quillet
