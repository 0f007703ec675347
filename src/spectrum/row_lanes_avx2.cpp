// Rows of the Gaussian batch and of the line batch in lanes of
// 4 doubles (AVX2). Only the code after the
// target pragma may use these instructions, and lane_path.cpp calls it only
// on a processor that has them; everything it includes was compiled for the
// baseline before.
#include "spectrum/row_lanes_entries.hpp"

#if QUILLET_HAS_LANES && QUILLET_LANES_AVX2
#include "spectrum/row_lanes_includes.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")
#define QUILLET_LANE_ISA avx2
#define QUILLET_LANE_WIDTH 4
#include "spectrum/line_row_lanes.hpp"
#include "spectrum/row_lanes.hpp"

namespace quillet::avx2 {
void fit_rows_in_lanes(const BatchInput& input, AxisOrder order, BatchOutput& output,
                       WorkerPool::Claims& claims) {
  fit_rows_in_lane_set(input, order, output, claims);
}
void fit_line_rows_in_lanes(const LinesBatchInput& input, LinesBatchOutput& output,
                            WorkerPool::Claims& claims) {
  fit_line_rows_in_lane_set(input, output, claims);
}
}  // namespace quillet::avx2
#pragma GCC pop_options
#endif
