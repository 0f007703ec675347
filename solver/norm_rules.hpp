// The Euclidean norm's three-range sums, written once for one problem
// (Real a double, conditions bool) and for lanes (Real Doubles, conditions
// Mask) in the operations of scalar_or_lanes.hpp: euclid_norm's general
// path, and the lanes' where their plain sum of squares is not the norm.
// Each lane makes the comparisons, quotients and sums the scalar function
// makes, in its order.
// Both rules are always inlined into the loops that use them.
//
// Included inside a namespace, not at file scope: quillet::solver by
// euclid_norm.cpp, and the lanes' quillet::solver::QUILLET_LANE_ISA by
// lane_vectors.hpp, where it is compiled for that instruction set. The
// includer has included euclid_norm.hpp at file scope before, and the
// operations it is written in.

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
