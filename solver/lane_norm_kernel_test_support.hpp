// The kernel of lane_norm_test.cpp: norm() over lanes loaded from plain
// doubles. Included twice by each kernel's translation unit
// (lane_norm_avx2_kernel_test.cpp, lane_norm_avx512_kernel_test.cpp): first
// for what everyone sees (the headers the lanes include, compiled for the
// baseline, and the kernels' declarations), then after the target pragma and
// the definitions of QUILLET_LANE_ISA and QUILLET_LANE_WIDTH for the kernel
// itself (see lane_vectors.hpp). The test includes it once, for the first part.
#ifndef QUILLET_LANE_ISA
#ifndef QUILLET_LANE_NORM_KERNEL_DECLARED
#define QUILLET_LANE_NORM_KERNEL_DECLARED
#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "solver/euclid_norm.hpp"

namespace quillet::solver {

// The most rows a kernel takes.
inline constexpr std::size_t kMaxLaneNormRows = 64;

// The norms of one vector per lane stored lane by lane (values[i * lanes +
// k] is row i of lane k), each over rows [first, counts[k]) of `rows`, into
// out[k].
namespace avx2 {
void lane_norms(const double* values, const std::int64_t* counts, std::size_t first,
                std::size_t rows, double* out);
}
namespace avx512 {
void lane_norms(const double* values, const std::int64_t* counts, std::size_t first,
                std::size_t rows, double* out);
}

}  // namespace quillet::solver
#endif
#else
#include "solver/lane_vectors.hpp"

namespace quillet::solver::QUILLET_LANE_ISA {

void lane_norms(const double* values, const std::int64_t* counts, std::size_t first,
                std::size_t rows, double* out) {
  Doubles v[kMaxLaneNormRows];
  for (std::size_t i = 0; i < rows; ++i) std::memcpy(&v[i], values + i * kLanes, sizeof v[i]);
  Ints count;
  std::memcpy(&count, counts, sizeof count);
  const Doubles result = norm(v, first, rows, count, splat_int(-1));
  std::memcpy(out, &result, sizeof result);
}

}  // namespace quillet::solver::QUILLET_LANE_ISA
#endif
