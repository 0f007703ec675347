// Which way a batch fits its rows: one at a time (the scalar path, the
// reference, and the only one off x86-64), or several side by side in the
// lanes of AVX2 (four) or AVX-512 (eight) vector registers. Every path gives
// every row the same bits; the lanes are only faster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "spectrum/fit_lines_batch.hpp"
#include "spectrum/fit_spectra_batch.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/worker_pool.hpp"

namespace quillet {

enum class RowPath : std::uint8_t { Scalar, Avx2, Avx512 };

// Windows longer than this go the scalar way: a lane's storage grows with
// the longest window of its batch.
inline constexpr std::size_t kMaxLaneSamples = 4096;

// Line models with more free parameters than this go the scalar way: the
// lane solver is instantiated for every count up to it (three free
// Gaussians with a quadratic baseline), in each instruction set.
inline constexpr std::size_t kMaxLineLaneParams = 12;

// Whether this processor (and its operating system) runs the path.
bool row_path_runs_here(RowPath path);

// The path a value of QUILLET_LANES names: "scalar", "avx2" or "avx512";
// unset or empty means the widest one this processor runs. Nothing for any
// other value.
std::optional<RowPath> row_path_named(const char* value);

// The path batches of this process take: the one QUILLET_LANES names (read
// once, by the first batch), or the widest this processor runs when it is
// unset, unknown or names one this processor lacks.
RowPath process_row_path();

// Fits the rows that `claims` hands out in the lanes of `path` (Avx2 or
// Avx512, which must run here), writing each to `output`.
void fit_rows_in_lanes(RowPath path, const BatchInput& input, AxisOrder order, BatchOutput& output,
                       WorkerPool::Claims& claims);

// Fits the line-batch rows that `claims` hands out in the lanes of `path`
// (Avx2 or Avx512, which must run here), writing each to `output`; the
// model has at most kMaxLineLaneParams free parameters.
void fit_line_rows_in_lanes(RowPath path, const LinesBatchInput& input, LinesBatchOutput& output,
                            WorkerPool::Claims& claims);

}  // namespace quillet
