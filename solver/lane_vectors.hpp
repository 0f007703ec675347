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

// euclid_norm's three-range sums, the same rules for one problem and for lanes.
#include "solver/norm_rules.hpp"

// euclid_norm per lane. One pass sums the squares, for several vectors at
// once where a kernel has them side by side, and keeps what shows whether
// that sum's square root is euclid_norm's result to the bit (see
// plain_sum_is_norm); the lanes where it is not take the three-range sums,
// also in vector form, with exactly the comparisons, quotients and sums of
// the scalar function in its order. Each lane works on its own components:
// rows at and past a lane's count are not read for it, and lanes outside
// the `active` mask get meaningless values.

// rgiant / n for lanes of n components: euclid_norm's bound of the
// intermediate range.
inline Doubles agiant_of(Ints components) { return splat(kRgiant) / to_doubles(components); }

// The common case's pass, one component at a time: the sum of squares, and
// the two magnitudes beside it that decide whether it is the norm: the
// largest small one (at most rdwarf) and the least above rdwarf.
// Magnitudes order as their bit patterns do, so each is found from the
// patterns' distances to rdwarf's, unsigned: D - p for a small magnitude of
// pattern p is at most D, and for any other it wraps past every small one's;
// p - D - 1 for a magnitude above rdwarf likewise. The least distance of
// each kind gives the magnitude (UINT64_MAX while there is none).
struct SquareSum {
  Doubles s2;
  Uints below_dwarf;  // min of D - p
  Uints above_dwarf;  // min of p - D - 1
};

inline constexpr std::uint64_t kDwarfBits = std::bit_cast<std::uint64_t>(kRdwarf);

inline SquareSum no_squares() {
  const Uints none = reinterpret_cast<Uints>(splat_int(-1));
  return {splat(0.0), none, none};
}

// The bits that keep a component's magnitude in a live row, and zero it in
// another: a zero adds nothing to the sum of squares, and its distance D
// below rdwarf's pattern never brings a small magnitude above 0.
inline Ints magnitude_bits(Mask live) { return live & INT64_MAX; }

inline void add_square(SquareSum& sum, Doubles x, Ints magnitude) {
  const Ints bits = reinterpret_cast<Ints>(x) & magnitude;
  const Doubles a = reinterpret_cast<Doubles>(bits);
  sum.s2 = sum.s2 + a * a;
  const Uints pattern = reinterpret_cast<Uints>(bits);
  const Uints below = kDwarfBits - pattern;
  const Uints above = pattern - (kDwarfBits + 1);
  sum.below_dwarf = below < sum.below_dwarf ? below : sum.below_dwarf;
  sum.above_dwarf = above < sum.above_dwarf ? above : sum.above_dwarf;
}

// Whether euclid_norm of the components summed, n of them, is the square
// root of their sum of squares s2. None may be large (at least rgiant / n)
// or NaN: such a one makes s2 at least (rgiant / n)^2, or NaN, and the
// others only bring s2 there from below; so s2 below that bound rules them
// out. Then s2 is the norm when no component is small (every one
// intermediate or zero; see euclid_norm), and also when the small ones are
// too small to matter beside the intermediate ones: with M the largest small
// magnitude and a the least intermediate one, M n 2^32 <= a, a^2 >= n 2^-1018
// and s2 >= M. For then each small square, and their sum before the first
// intermediate one, stays below a^2 2^-55: the squares' part is at most
// about n M^2 <= a^2 2^-64 / n, and their sub-normal rounding at most
// n 2^-1074 <= a^2 2^-56 (for any n below 2^40). That is less than half an
// ulp of every partial sum of intermediate squares (those are at least a^2,
// a normal number), so adding them changes none, and s2 is the three-range
// s2 to the bit. And the three-range result, from s1 = 0 and s2 >= x3max =
// M, is sqrt(s2 (1 + (M / s2) (M s3))), where the term beside 1 is at most
// about n M^2 / a^2 < 2^-53, so that 1 + it rounds to 1.
inline Mask plain_sum_is_norm(const SquareSum& sum, Ints components) {
  const Doubles n = to_doubles(components);
  const Doubles agiant = agiant_of(components);
  const Mask no_large = sum.s2 < agiant * agiant;
  const Uints dwarf = reinterpret_cast<Uints>(splat_int(static_cast<std::int64_t>(kDwarfBits)));
  const Mask some_small = sum.below_dwarf < dwarf;
  const Mask some_above = reinterpret_cast<Ints>(sum.above_dwarf) >= 0;
  const Doubles small = reinterpret_cast<Doubles>(dwarf - sum.below_dwarf);
  const Doubles least = reinterpret_cast<Doubles>(sum.above_dwarf + (kDwarfBits + 1));
  constexpr double kTwoTo32 = 0x1p32;
  constexpr double kRoundingFloor = 0x1p-1018;
  const Mask negligible = some_above & (least * least >= n * kRoundingFloor) &
                          (small * n * kTwoTo32 <= least) & (sum.s2 >= small);
  return no_large & (~some_small | negligible);
}

// The lane that holds `b` where `m` is set, else `a`'s.
inline SquareSum select(Mask m, const SquareSum& b, const SquareSum& a) {
  return {m ? b.s2 : a.s2, m ? b.below_dwarf : a.below_dwarf, m ? b.above_dwarf : a.above_dwarf};
}

// euclid_norm's three-range sums and results, per lane, over rows [first,
// count) of each of C vectors taken side by side (vector c for the lanes of
// active[c]). Of the results, only those some lane needs are formed.
template <std::size_t C>
std::array<Doubles, C> three_range_norms(const std::array<const Doubles*, C>& v, std::size_t first,
                                         std::size_t rows, Ints count,
                                         const std::array<Mask, C>& active) {
  const Doubles agiant = agiant_of(count - static_cast<std::int64_t>(first));
  std::array<ThreeRanges<Doubles>, C> sums;
  for (std::size_t c = 0; c < C; ++c) sums[c] = ThreeRanges<Doubles>{};
  for (std::size_t i = first; i < rows; ++i) {
    const Mask live = splat_int(static_cast<std::int64_t>(i)) < count;
    for (std::size_t c = 0; c < C; ++c) add_to_ranges(sums[c], v[c][i], agiant, active[c] & live);
  }
  std::array<Doubles, C> result;
  for (std::size_t c = 0; c < C; ++c) result[c] = three_range_norm(sums[c], active[c]);
  return result;
}

// The norms of rows [first, count) of C vectors from the common case's pass
// over them: its square root where it covers the lane, else the three-range
// sums.
template <std::size_t C>
std::array<Doubles, C> finish_norms(const std::array<SquareSum, C>& sums,
                                    const std::array<const Doubles*, C>& v, std::size_t first,
                                    std::size_t rows, Ints count, Mask active) {
  std::array<Doubles, C> result;
  std::array<Mask, C> general;
  Mask any_general = splat_int(0);
  for (std::size_t c = 0; c < C; ++c) {
    result[c] = sqrt(sums[c].s2);
    general[c] = active & ~plain_sum_is_norm(sums[c], count - static_cast<std::int64_t>(first));
    any_general |= general[c];
  }
  if (!any(any_general)) return result;
  const std::array<Doubles, C> fallback = three_range_norms<C>(v, first, rows, count, general);
  for (std::size_t c = 0; c < C; ++c) result[c] = general[c] ? fallback[c] : result[c];
  return result;
}

inline Doubles finish_norm(const SquareSum& sum, const Doubles* v, std::size_t first,
                           std::size_t rows, Ints count, Mask active) {
  return finish_norms<1>({sum}, {v}, first, rows, count, active)[0];
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
