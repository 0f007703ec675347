// The kernels of the lanes' tests in AVX2 (four lanes).
#if defined(__x86_64__)
#include "solver/lane_kernels_test_support.hpp"
#pragma GCC target("avx2")
#define QUILLET_LANE_ISA avx2
#define QUILLET_LANE_WIDTH 4
#include "solver/lane_kernels_test_support.hpp"
#endif
