// Batch rows in lanes of 8 doubles (AVX-512). Only the code after the
// target pragma may use these instructions, and lane_path.cpp calls it only
// on a processor that has them; everything it includes was compiled for the
// baseline before.
#if defined(__x86_64__)
#include "spectrum/row_lanes_includes.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
#define QUILLET_LANE_ISA avx512
#define QUILLET_LANE_WIDTH 8
#include "spectrum/row_lanes.hpp"
#pragma GCC pop_options
#endif
