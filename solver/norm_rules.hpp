// The Euclidean norm's three-range sums, written once for one problem
// (Real a double, conditions bool) and for lanes (Real Doubles, conditions
// Mask) in the operations of scalar_or_lanes.hpp: euclid_norm's general
// path, and the lanes' where their plain sum of squares is not the norm.
// Each lane makes the comparisons, quotients and sums the scalar function
// makes, in its order.
// Both rules are always inlined into the loops that use them.
//
// Then the common case's pass that most norms take instead (SquareSum),
// written once the same way: the factorisation's column norms, and every
// norm of the lanes.
//
// Included inside a namespace, not at file scope: quillet::solver by
// euclid_norm.cpp and qr_factor.cpp, and the lanes'
// quillet::solver::QUILLET_LANE_ISA by lane_vectors.hpp, where it is
// compiled for that instruction set. The includer has included
// euclid_norm.hpp and square_sum.hpp at file scope before, and the
// operations it is written in (scalar_or_lanes.hpp).

// euclid_norm's sums: s1 of large components scaled by x1max, s2 of
// intermediate ones unscaled, s3 of small ones scaled by x3max.
template <class Real>
struct ThreeRanges {
  Real s1, s2, s3, x1max, x3max;
};

// Adds component x (where `live`) to its range. Where it sets a new maximum
// the quotient is maximum / component, else component / maximum; one
// division serves the large and the small range, as a component is in one
// of them only. A NaN fails every comparison and counts as small.
template <class Real, class Bool>
[[gnu::always_inline]] inline void add_to_ranges(ThreeRanges<Real>& t, Real x, Real agiant,
                                                 Bool live) {
  const Real a = abs(x);
  const Bool above_dwarf = a > kRdwarf;
  const Bool intermediate = above_dwarf & (a < agiant);
  t.s2 = select(live & intermediate, t.s2 + x * x, t.s2);
  // Most components are intermediate (in every lane); the others take the
  // large and small ranges' quotients.
  const Bool outside = live & !intermediate;
  if (!any(outside)) return;
  const Bool large = outside & above_dwarf;
  // Below rdwarf, and NaN, which fails every comparison.
  const Bool small = outside & !above_dwarf;
  const Real xmax = select(large, t.x1max, t.x3max);
  const Bool grows = a > xmax;
  const Real r = select(grows, xmax, a) / select(grows, a, xmax);
  const Real s = select(large, t.s1, t.s3);
  const Real sum = select(grows, s * r * r + 1.0, s + r * r);
  const Bool counted = large | (small & (grows | (x != 0.0)));
  t.s1 = select(counted & large, sum, t.s1);
  t.s3 = select(counted & small, sum, t.s3);
  t.x1max = select(large & grows, a, t.x1max);
  t.x3max = select(small & grows, a, t.x3max);
}

// The norm from the three sums (where `active`): the large range with the
// intermediate one scaled into it, else the intermediate range with the
// small one, else the small range alone.
template <class Real, class Bool>
[[gnu::always_inline]] inline Real three_range_norm(const ThreeRanges<Real>& t, Bool active) {
  const Bool with_large = active & (t.s1 != 0.0);
  const Bool with_intermediate = active & !with_large & (t.s2 != 0.0);
  const Bool above_small = with_intermediate & (t.s2 >= t.x3max);
  const Bool below_small = with_intermediate & !above_small;
  const Bool only_small = active & !with_large & !with_intermediate;
  Real r{};
  if (any(with_large)) {
    r = select(with_large, t.x1max * sqrt(t.s1 + (t.s2 / t.x1max) / t.x1max), r);
  }
  if (any(above_small)) {
    r = select(above_small, sqrt(t.s2 * (1.0 + (t.x3max / t.s2) * (t.x3max * t.s3))), r);
  }
  if (any(below_small)) {
    r = select(below_small, sqrt(t.x3max * (t.s2 / t.x3max + t.x3max * t.s3)), r);
  }
  if (any(only_small)) r = select(only_small, t.x3max * sqrt(t.s3), r);
  return r;
}

// rgiant / n for vectors of n components: euclid_norm's bound of the
// intermediate range.
template <class Count>
[[gnu::always_inline]] inline auto agiant_for(Count components) {
  return kRgiant / to_real(components);
}

// The common case's pass, one component at a time: the sum of squares, and
// the two magnitudes beside it that decide whether it is the norm: the
// largest small one (at most rdwarf) and the least above rdwarf.
// Magnitudes order as their bit patterns do, so each is found from the
// patterns' distances to rdwarf's, unsigned: D - p for a small magnitude of
// pattern p is at most D, and for any other it wraps past every small one's;
// p - D - 1 for a magnitude above rdwarf likewise. The least distance of
// each kind gives the magnitude (all ones while there is none).
inline constexpr std::uint64_t kDwarfBits = std::bit_cast<std::uint64_t>(kRdwarf);

template <class Sum>
[[gnu::always_inline]] inline Sum no_squares() {
  using Uint = decltype(Sum::below_dwarf);
  const Uint none = ~Uint{};
  return {decltype(Sum::s2){}, none, none};
}

// `magnitude` is magnitude_bits of whether the component's row is live.
template <class Sum, class Real, class Int>
[[gnu::always_inline]] inline void add_square(Sum& sum, Real x, Int magnitude) {
  const Int bits = bits_of(x) & magnitude;
  const Real a = real_of(bits);
  sum.s2 = sum.s2 + a * a;
  const auto pattern = unsigned_of(bits);
  const auto below = kDwarfBits - pattern;
  const auto above = pattern - (kDwarfBits + 1);
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
template <class Sum, class Count>
[[gnu::always_inline]] inline auto plain_sum_is_norm(const Sum& sum, Count components) {
  using Uint = decltype(Sum::below_dwarf);
  const auto n = to_real(components);
  const auto agiant = agiant_for(components);
  const auto no_large = sum.s2 < agiant * agiant;
  const Uint dwarf = Uint{} + kDwarfBits;
  const auto some_small = sum.below_dwarf < dwarf;
  const auto some_above = signed_of(sum.above_dwarf) >= 0;
  const auto small = real_of(signed_of(dwarf - sum.below_dwarf));
  const auto least = real_of(signed_of(sum.above_dwarf + (kDwarfBits + 1)));
  constexpr double kTwoTo32 = 0x1p32;
  constexpr double kRoundingFloor = 0x1p-1018;
  const auto negligible = some_above & (least * least >= n * kRoundingFloor) &
                          (small * n * kTwoTo32 <= least) & (sum.s2 >= small);
  return no_large & ((!some_small) | negligible);
}

// `b` where `m` holds, else `a`.
template <class Bool, class Real, class Uint>
[[gnu::always_inline]] inline SquareSum<Real, Uint> select(Bool m, const SquareSum<Real, Uint>& b,
                                                           const SquareSum<Real, Uint>& a) {
  return {m ? b.s2 : a.s2, m ? b.below_dwarf : a.below_dwarf, m ? b.above_dwarf : a.above_dwarf};
}

// euclid_norm's three-range sums and results, for each of C vectors taken
// side by side over rows [first, count) (vector c for the problems of
// active[c]). Of the results, only those some problem needs are formed.
template <std::size_t C, class Real, class Count, class Bool>
std::array<Real, C> three_range_norms(const std::array<const Real*, C>& v, std::size_t first,
                                      std::size_t rows, Count count,
                                      const std::array<Bool, C>& active) {
  const Real agiant = agiant_for(count - static_cast<std::int64_t>(first));
  std::array<ThreeRanges<Real>, C> sums;
  for (std::size_t c = 0; c < C; ++c) sums[c] = ThreeRanges<Real>{};
  for (std::size_t i = first; i < rows; ++i) {
    const auto live = row_live(i, count);
    for (std::size_t c = 0; c < C; ++c) add_to_ranges(sums[c], v[c][i], agiant, active[c] & live);
  }
  std::array<Real, C> result;
  for (std::size_t c = 0; c < C; ++c) result[c] = three_range_norm(sums[c], active[c]);
  return result;
}

// The norms of rows [first, count) of C vectors from the common case's pass
// over them: its square root where it covers the problem, else the
// three-range sums.
template <std::size_t C, class Sum, class Real, class Count, class Bool>
std::array<Real, C> finish_norms(const std::array<Sum, C>& sums,
                                 const std::array<const Real*, C>& v, std::size_t first,
                                 std::size_t rows, Count count, Bool active) {
  std::array<Real, C> result;
  std::array<Bool, C> general;
  Bool any_general{};
  for (std::size_t c = 0; c < C; ++c) {
    result[c] = sqrt(sums[c].s2);
    general[c] = active & !plain_sum_is_norm(sums[c], count - static_cast<std::int64_t>(first));
    any_general = any_general | general[c];
  }
  if (!any(any_general)) return result;
  const std::array<Real, C> fallback = three_range_norms<C>(v, first, rows, count, general);
  for (std::size_t c = 0; c < C; ++c) result[c] = select(general[c], fallback[c], result[c]);
  return result;
}

template <class Sum, class Real, class Count, class Bool>
[[gnu::always_inline]] inline Real finish_norm(const Sum& sum, const Real* v, std::size_t first,
                                               std::size_t rows, Count count, Bool active) {
  return finish_norms<1>(std::array<Sum, 1>{sum}, std::array<const Real*, 1>{v}, first, rows, count,
                         active)[0];
}
