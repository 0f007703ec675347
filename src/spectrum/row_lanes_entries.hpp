// The batches' ways into the lanes of each instruction set: defined by that
// set's translation unit (row_lanes_avx2.cpp, row_lanes_avx512.cpp), and
// called by lane_path.cpp only on a processor that runs the set.
#pragma once

#include "spectrum/fit_lines_batch.hpp"
#include "spectrum/fit_spectra_batch.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/worker_pool.hpp"

// The lanes are built where GCC's target pragmas switch each instruction set
// on for its own translation unit: x86-64 with GCC. Clang reads those
// pragmas differently, so it, like every other processor, builds the scalar
// path alone, which gives every row the same bits.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define QUILLET_HAS_LANES 1
#else
#define QUILLET_HAS_LANES 0
#endif

// Of those, the sets this build has (QUILLET_LANE_SETS in CMake): all of
// them unless the build left some out.
#ifndef QUILLET_LANES_AVX2
#define QUILLET_LANES_AVX2 1
#endif
#ifndef QUILLET_LANES_AVX512
#define QUILLET_LANES_AVX512 1
#endif

namespace quillet {

#if QUILLET_HAS_LANES && QUILLET_LANES_AVX2
namespace avx2 {
void fit_rows_in_lanes(const BatchInput& input, AxisOrder order, BatchOutput& output,
                       WorkerPool::Claims& claims);
void fit_line_rows_in_lanes(const LinesBatchInput& input, LinesBatchOutput& output,
                            WorkerPool::Claims& claims);
}  // namespace avx2
#endif
#if QUILLET_HAS_LANES && QUILLET_LANES_AVX512
namespace avx512 {
void fit_rows_in_lanes(const BatchInput& input, AxisOrder order, BatchOutput& output,
                       WorkerPool::Claims& claims);
void fit_line_rows_in_lanes(const LinesBatchInput& input, LinesBatchOutput& output,
                            WorkerPool::Claims& claims);
}  // namespace avx512
#endif

}  // namespace quillet
