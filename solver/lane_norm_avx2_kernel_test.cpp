// lane_norm_test.cpp's kernel in AVX2 (four lanes).
#if defined(__x86_64__)
#include "solver/lane_norm_kernel_test_support.hpp"
#pragma GCC target("avx2")
#define QUILLET_LANE_ISA avx2
#define QUILLET_LANE_WIDTH 4
#include "solver/lane_norm_kernel_test_support.hpp"
#endif
