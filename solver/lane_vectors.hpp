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

#include <bit>
#include <cstddef>
#include <cstdint>

#include "solver/euclid_norm.hpp"

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

// euclid_norm per lane. Its common case (every component intermediate or
// zero, where the result is the square root of the plain sum of squares;
// see euclid_norm) is summed in one pass, for several vectors at once where
// a kernel has them side by side; the lanes it does not cover take the
// three-range sums, also in vector form. In both, each lane makes exactly
// the comparisons, quotients and sums of the scalar function, in its order,
// on its own components: rows at and past a lane's count are not read for
// it, and lanes outside the `active` mask get meaningless values.

// rgiant / n for lanes of n components: euclid_norm's bound of the
// intermediate range.
inline Doubles agiant_of(Ints components) { return splat(kRgiant) / to_doubles(components); }

// The common case's pass, one component at a time: the sum of squares, and
// what decides whether every component is intermediate or zero. Magnitudes
// order as their bit patterns do (a NaN's lies above every number's), so
// that decision needs only the largest pattern, below rgiant / n's, and the
// smallest pattern of a non-zero magnitude, above rdwarf's. That one is kept
// as pattern + INT64_MAX, wrapped: a zero's becomes the largest of all and
// never the least, and the order of the others is kept.
struct SquareSum {
  Doubles s2;
  Ints top;
  Ints bottom;
};

inline SquareSum no_squares() { return {splat(0.0), splat_int(0), splat_int(INT64_MAX)}; }

// The bits that keep a component's magnitude in a live row, and zero it in
// another (a zero adds nothing to the sum of squares and moves neither
// extreme).
inline Ints magnitude_bits(Mask live) { return live & INT64_MAX; }

inline void add_square(SquareSum& sum, Doubles x, Ints magnitude) {
  const Ints bits = reinterpret_cast<Ints>(x) & magnitude;
  const Doubles a = reinterpret_cast<Doubles>(bits);
  sum.s2 = sum.s2 + a * a;
  sum.top = bits > sum.top ? bits : sum.top;
  const Ints shifted = reinterpret_cast<Ints>(reinterpret_cast<Uints>(bits) + INT64_MAX);
  sum.bottom = shifted < sum.bottom ? shifted : sum.bottom;
}

// Whether every component summed is intermediate or zero, for vectors of n
// components.
inline Mask all_intermediate(const SquareSum& sum, Ints components) {
  const Ints agiant = reinterpret_cast<Ints>(agiant_of(components));
  const auto dwarf = std::bit_cast<std::int64_t>(kRdwarf);
  const auto floor = static_cast<std::int64_t>(static_cast<std::uint64_t>(dwarf) + INT64_MAX + 1);
  return (sum.top < agiant) & (sum.bottom >= floor);
}

// The lane that holds `b` where `m` is set, else `a`'s.
inline SquareSum select(Mask m, const SquareSum& b, const SquareSum& a) {
  return {m ? b.s2 : a.s2, m ? b.top : a.top, m ? b.bottom : a.bottom};
}

// euclid_norm's three-range sums and result, per lane, over rows [first,
// count) of v. Where a lane's component sets a new maximum the quotient is
// maximum / component, else component / maximum, as in the scalar branches;
// one division serves the large and the small range, as a component is in
// one of them only.
inline Doubles three_range_norm(const Doubles* v, std::size_t first, std::size_t rows, Ints count,
                                Mask active) {
  const Doubles agiant = agiant_of(count - static_cast<std::int64_t>(first));
  Doubles s1 = splat(0.0), s2 = splat(0.0), s3 = splat(0.0);
  Doubles x1max = splat(0.0), x3max = splat(0.0);
  for (std::size_t i = first; i < rows; ++i) {
    const Mask live = active & (splat_int(static_cast<std::int64_t>(i)) < count);
    const Doubles x = v[i];
    const Doubles a = abs(x);
    const Mask above_dwarf = a > kRdwarf;
    const Mask intermediate = above_dwarf & (a < agiant);
    s2 = (live & intermediate) ? s2 + x * x : s2;
    // Most rows of a vector that needs this pass are intermediate in every
    // lane; the others take the large and small ranges' quotients.
    const Mask outside = live & ~intermediate;
    if (!any(outside)) continue;
    const Mask large = outside & above_dwarf;
    // Below rdwarf, and NaN, which fails every comparison.
    const Mask small = outside & ~above_dwarf;
    const Doubles xmax = large ? x1max : x3max;
    const Mask grows = a > xmax;
    const Doubles r = (grows ? xmax : a) / (grows ? a : xmax);
    const Doubles s = large ? s1 : s3;
    const Doubles sum = grows ? s * r * r + 1.0 : s + r * r;
    const Mask counted = large | (small & (grows | (x != 0.0)));
    s1 = (counted & large) ? sum : s1;
    s3 = (counted & small) ? sum : s3;
    x1max = (large & grows) ? a : x1max;
    x3max = (small & grows) ? a : x3max;
  }
  const Doubles large_result = x1max * sqrt(s1 + (s2 / x1max) / x1max);
  const Doubles above_small = sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)));
  const Doubles below_small = sqrt(x3max * (s2 / x3max + x3max * s3));
  const Doubles small_result = x3max * sqrt(s3);
  const Doubles intermediate_result = (s2 >= x3max) ? above_small : below_small;
  return (s1 != 0.0) ? large_result : ((s2 != 0.0) ? intermediate_result : small_result);
}

// The norm of rows [first, count) of v from the common case's pass over
// them: its square root where it covers the lane, else the three-range sums.
inline Doubles finish_norm(const SquareSum& sum, const Doubles* v, std::size_t first,
                           std::size_t rows, Ints count, Mask active) {
  const Doubles result = sqrt(sum.s2);
  const Mask general =
      active & ~all_intermediate(sum, count - static_cast<std::int64_t>(first));
  if (!any(general)) return result;
  return general ? three_range_norm(v, first, rows, count, general) : result;
}

// The norm of rows [first, count) of v, per lane.
inline Doubles norm(const Doubles* v, std::size_t first, std::size_t rows, Ints count,
                    Mask active) {
  SquareSum sum = no_squares();
  for (std::size_t i = first; i < rows; ++i) {
    add_square(sum, v[i], magnitude_bits(splat_int(static_cast<std::int64_t>(i)) < count));
  }
  return finish_norm(sum, v, first, rows, count, active);
}

}  // namespace quillet::solver::QUILLET_LANE_ISA
