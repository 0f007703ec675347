// The pieces of a batch row job that every way of fitting rows shares: the
// row's views, the prefetch of the next row, and the writing of an outcome.
#pragma once

#include <cstddef>
#include <span>

#include "spectrum/fit_spectra_batch.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/peak_search.hpp"

namespace quillet {

// Row i's spectrum and noise, sg_xpixels values each.
std::span<const float> row_spectrum(const BatchInput& input, std::size_t i);
std::span<const float> row_noise(const BatchInput& input, std::size_t i);

// Asks for the stretch of row i that its fit will read (nothing for a row
// past the last, or on an unsorted axis). Only a hint.
void prefetch_row(const BatchInput& input, AxisOrder order, std::size_t i);

// Row i of both result buffers, written by this row's job alone.
void write_row(BatchOutput& output, std::size_t i, const SpectrumFitOutcome& outcome);

}  // namespace quillet
