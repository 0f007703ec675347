// Batch rows in lanes of 4 doubles (AVX2). Only the code after the
// target pragma may use these instructions, and lane_path.cpp calls it only
// on a processor that has them; everything it includes was compiled for the
// baseline before.
#if defined(__x86_64__)
#include "spectrum/row_lanes_includes.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")
#define QUILLET_LANE_ISA avx2
#define QUILLET_LANE_WIDTH 4
#include "spectrum/row_lanes.hpp"
#pragma GCC pop_options
#endif
