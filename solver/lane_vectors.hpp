// Lanes: one double per independent problem, kLanes problems side by side
// in one vector register, so that the sequential sums of each problem (whose
// order is part of its result) fill the vector units instead of waiting on
// one another. Every operation acts on each lane alone, as IEEE-754 double
// arithmetic, so a lane computes exactly the bits a scalar run would.
//
// GCC's vector extensions, not a SIMD library: they compile to the
// instruction set the including translation unit chose, honour
// -ffp-contract=off (no fused multiply-add is ever formed), and need no
// dependency. Square root is the instruction set's own (correctly rounded,
// like std::sqrt); no other function of a lane is computed in vector form.
//
// For including only by a translation unit that has chosen its instruction
// set: it defines QUILLET_LANE_ISA (the namespace that keeps the code of each
// instruction set apart, so that no inline function compiled for one is ever
// linked in place of another) and QUILLET_LANE_WIDTH, includes every header
// this one includes before its `#pragma GCC target`, and this one after.
#pragma once
#ifndef QUILLET_LANE_ISA
#error "lane code is included only by a translation unit that chose its instruction set"
#endif

#include <immintrin.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "solver/euclid_norm.hpp"
#include "solver/square_sum.hpp"

namespace quillet::solver::QUILLET_LANE_ISA {

inline constexpr int kLanes = QUILLET_LANE_WIDTH;

using Doubles = double __attribute__((vector_size(kLanes * sizeof(double))));
// Lane integers, and masks: a comparison gives -1 (all bits) where it holds.
using Ints = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));
using Mask = Ints;
using Uints = std::uint64_t __attribute__((vector_size(kLanes * sizeof(double))));

inline Doubles splat(double v) { return Doubles{} + v; }
inline Ints splat_int(std::int64_t v) { return Ints{} + v; }

inline Doubles select(Mask m, Doubles a, Doubles b) { return m ? a : b; }
inline Ints select(Mask m, Ints a, Ints b) { return m ? a : b; }

inline Doubles abs(Doubles v) {
  return reinterpret_cast<Doubles>(reinterpret_cast<Ints>(v) & splat_int(INT64_MAX));
}

inline Doubles sqrt(Doubles v) {
#if QUILLET_LANE_WIDTH == 8
  // The zero-masking form with every lane selected: the plain form's
  // undefined pass-through operand trips GCC's uninitialised-use warning.
  return reinterpret_cast<Doubles>(_mm512_maskz_sqrt_pd(0xFF, reinterpret_cast<__m512d>(v)));
#elif QUILLET_LANE_WIDTH == 4
  return reinterpret_cast<Doubles>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(v)));
#else
#error "lanes are 4 (AVX2) or 8 (AVX-512) wide"
#endif
}

inline Doubles to_doubles(Ints v) { return __builtin_convertvector(v, Doubles); }

// One bit per lane, lane 0 lowest.
inline unsigned lane_bits(Mask m) {
#if QUILLET_LANE_WIDTH == 8
  return _mm512_cmpneq_epi64_mask(reinterpret_cast<__m512i>(m), _mm512_setzero_si512());
#else
  return static_cast<unsigned>(_mm256_movemask_pd(reinterpret_cast<__m256d>(m)));
#endif
}
inline bool any(Mask m) { return lane_bits(m) != 0; }

// Calls f(lane) for every lane set in `m`, lowest first. (GCC compiles a
// lambda for the baseline whatever the target pragma says, so `f` should
// do scalar work; vector code belongs in functions.)
template <class F>
void for_each_lane(Mask m, F&& f) {
  for (unsigned bits = lane_bits(m); bits != 0; bits &= bits - 1) f(std::countr_zero(bits));
}

inline double& lane(Doubles& v, int k) { return reinterpret_cast<double*>(&v)[k]; }
inline std::int64_t& lane(Ints& v, int k) { return reinterpret_cast<std::int64_t*>(&v)[k]; }

// The solver's maximum and minimum that ignore a NaN operand, per lane.
inline Doubles nan_max(Doubles a, Doubles b) {
  return (a != a) ? b : ((b != b) ? a : (a < b ? b : a));
}
inline Doubles nan_min(Doubles a, Doubles b) {
  return (a != a) ? b : ((b != b) ? a : (b < a ? b : a));
}

// The bits of a value and the value of bits, each lane alone; a count as a
// real.
inline Ints bits_of(Doubles v) { return reinterpret_cast<Ints>(v); }
inline Doubles real_of(Ints v) { return reinterpret_cast<Doubles>(v); }
inline Uints unsigned_of(Ints v) { return reinterpret_cast<Uints>(v); }
inline Ints signed_of(Uints v) { return reinterpret_cast<Ints>(v); }
inline Doubles to_real(Ints v) { return to_doubles(v); }

// Whether row i is below each lane's count of rows.
inline Mask row_live(std::size_t i, Ints count) {
  return splat_int(static_cast<std::int64_t>(i)) < count;
}

// The bits that keep a component's magnitude in a live row, and zero it in
// another: a zero adds nothing to the sum of squares, and its distance D
// below rdwarf's pattern never brings a small magnitude above 0.
inline Ints magnitude_bits(Mask live) { return live & INT64_MAX; }

// euclid_norm's sums and the common case's pass, the same rules for one
// problem and for lanes.
#include "solver/norm_rules.hpp"

using LaneSquares = SquareSum<Doubles, Uints>;

// euclid_norm of rows [first, count) of v, per lane: the common case's pass,
// and the three-range sums in the lanes where it is not the norm. Rows at
// and past a lane's count are not read for it; lanes outside `active` get
// meaningless values.
inline Doubles norm(const Doubles* v, std::size_t first, std::size_t rows, Ints count,
                    Mask active) {
  LaneSquares sum = no_squares<LaneSquares>();
  for (std::size_t i = first; i < rows; ++i) {
    add_square(sum, v[i], magnitude_bits(splat_int(static_cast<std::int64_t>(i)) < count));
  }
  return finish_norm(sum, v, first, rows, count, active);
}

}  // namespace quillet::solver::QUILLET_LANE_ISA
