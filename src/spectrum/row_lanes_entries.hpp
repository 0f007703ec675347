// The batch's way into the lanes of each instruction set: defined by that
// set's translation unit (row_lanes_avx2.cpp, row_lanes_avx512.cpp), and
// called by lane_path.cpp only on a processor that runs the set.
#pragma once

#include "spectrum/fit_spectra_batch.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/worker_pool.hpp"

namespace quillet {

#if defined(__x86_64__)
namespace avx2 {
void fit_rows_in_lanes(const BatchInput& input, AxisOrder order, BatchOutput& output,
                       WorkerPool::Claims& claims);
}
namespace avx512 {
void fit_rows_in_lanes(const BatchInput& input, AxisOrder order, BatchOutput& output,
                       WorkerPool::Claims& claims);
}
#endif

}  // namespace quillet
