// The kernels of the lanes' tests in AVX-512 (eight lanes).
#if defined(__x86_64__)
#include "solver/testing/lane_kernels.hpp"
#pragma GCC target("avx512f,avx512dq")
#define QUILLET_LANE_ISA avx512
#define QUILLET_LANE_WIDTH 8
#include "solver/testing/lane_kernels.hpp"
#endif
