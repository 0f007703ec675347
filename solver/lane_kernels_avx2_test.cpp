// The kernels of the lanes' tests in AVX2 (four lanes).
#if defined(__x86_64__)
#include "solver/testing/lane_kernels.hpp"
#pragma GCC target("avx2")
#define QUILLET_LANE_ISA avx2
#define QUILLET_LANE_WIDTH 4
#include "solver/testing/lane_kernels.hpp"
#endif
