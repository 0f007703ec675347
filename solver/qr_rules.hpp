// The Householder factorisation with column pivoting, with Q^T fvec formed
// alongside, written once for one problem (Real a double, conditions bool,
// pivots std::size_t, row counts std::size_t) and for lanes (Doubles, Mask,
// Ints, Ints: each lane's own Jacobian, its own pivots and its own count of
// rows), in the operations of scalar_or_lanes.hpp. Each lane makes the
// operations one problem makes, in its order and on its operands.
//
// The passes over the rows are fused: one sums the squares of every column;
// then each step reads its rows twice, once to form its Householder vector
// and take its products with the later columns (and the work vector), once
// to apply the reflection to them. That second pass also sums the squares of
// each later column below the step's row: they are the next step's column
// norm (whichever column the pivoting brings) and any norm the downdating
// recomputes, the same components in the same order as a norm of its own.
// Lanes, whose N is fixed, take every column in one pass; one problem takes
// them in groups of a few side by side.
//
// Included inside a namespace, after norm_rules.hpp and step_rules.hpp:
// quillet::solver by qr_factor.cpp, and the lanes'
// quillet::solver::QUILLET_LANE_ISA by lane_solver.hpp.

// What a factorisation works on. `col[k]` is column k of the Jacobian
// (rows values; a problem's rows at and past `count` are never read for it),
// `pivots` reads `ipvt`. With `work` (m values) the factorisation forms
// Q^T fvec there as it goes and `qtf` receives its first n components;
// without, neither is touched and fvec is not read. `below` keeps each
// column's squares between steps (n entries).
template <class Real, class Bool, class Index, class Count, class Columns, class Pivots, class Sum>
struct Factoring {
  const Columns& col;
  const Pivots& pivots;
  std::size_t n;
  std::size_t rows;
  Count count;
  Bool lanes;
  const Real* fvec;
  Real* work;
  Real* qtf;
  Real* acnorm;
  Real* rdiag;
  Real* refnorm;
  Index* ipvt;
  Sum* below;
};

// The norms of columns first .. first + C - 1, in one pass over the rows.
template <std::size_t C, class F>
[[gnu::always_inline]] inline void column_norms(const F& f, std::size_t first) {
  using Real = std::remove_pointer_t<decltype(f.acnorm)>;
  using Sum = std::remove_pointer_t<decltype(f.below)>;
  std::array<Sum, C> sums;
  sums.fill(no_squares<Sum>());
  std::array<const Real*, C> columns;
  for (std::size_t c = 0; c < C; ++c) columns[c] = f.col[first + c];
  for (std::size_t i = 0; i < f.rows; ++i) {
    const auto magnitude = magnitude_bits(row_live(i, f.count));
    for (std::size_t c = 0; c < C; ++c) add_square(sums[c], columns[c][i], magnitude);
  }
  const std::array<Real, C> norms = finish_norms<C>(sums, columns, 0, f.rows, f.count, f.lanes);
  for (std::size_t c = 0; c < C; ++c) f.acnorm[first + c] = norms[c];
}

// The reflection of step j (column j, of norm cnorm signed as the
// reflection needs it, and applied where `reflect` holds) on columns first ..
// first + C - 1 and, with kWork, on the work vector (which step 0 reads from
// fvec); kScale forms the Householder vector in column j on the way. The
// columns' norms are then downdated, or recomputed from their squares.
template <std::size_t C, bool kWork, bool kScale, class F, class Real, class Bool>
[[gnu::always_inline]] inline void reflect_columns(const F& f, std::size_t j, std::size_t first,
                                                   Real cnorm, Bool reflect) {
  using Sum = std::remove_pointer_t<decltype(f.below)>;
  Real* const cj = f.col[j];
  std::array<Real*, C> target;
  for (std::size_t c = 0; c < C; ++c) target[c] = f.col[first + c];
  const Real* const source = j == 0 ? f.fvec : f.work;
  std::array<Sum, C> sums;
  sums.fill(no_squares<Sum>());

  if (!branch_if(reflect)) {
    // One problem's zero column: nothing is reflected, but the targets'
    // squares below row j and the work vector are wanted all the same.
    for (std::size_t i = j; i < f.rows; ++i) {
      const auto magnitude = magnitude_bits(row_live(i, f.count));
      for (std::size_t c = 0; c < C; ++c) {
        if (i > j) add_square(sums[c], target[c][i], magnitude);
      }
      if constexpr (kWork) f.work[i] = source[i];
    }
  } else {
    // The Householder vector, and its products with the targets before any
    // of them changes.
    std::array<Real, C + 1> s;
    s.fill(Real{});
    for (std::size_t i = j; i < f.rows; ++i) {
      const auto live = row_live(i, f.count);
      Real v = cj[i];
      if constexpr (kScale) {
        v = select(reflect, v / cnorm, v);
        if (i == j) v = select(reflect, v + 1.0, v);
        cj[i] = v;
      }
      for (std::size_t c = 0; c < C; ++c) s[c] = select(live, s[c] + v * target[c][i], s[c]);
      if constexpr (kWork) s[C] = select(live, s[C] + v * source[i], s[C]);
    }

    // The reflection applied, with the squares of the targets below row j.
    const Real d = cj[j];
    std::array<Real, C + 1> t;
    for (std::size_t c = 0; c < C; ++c) t[c] = s[c] / d;
    // d is 0 only for a column that was never transformed.
    const auto apply = reflect & (d != 0.0);
    if constexpr (kWork) t[C] = -s[C] / d;
    for (std::size_t i = j; i < f.rows; ++i) {
      const auto magnitude = magnitude_bits(row_live(i, f.count));
      const Real v = cj[i];
      for (std::size_t c = 0; c < C; ++c) {
        const Real x = select(reflect, target[c][i] - t[c] * v, target[c][i]);
        target[c][i] = x;
        if (i > j) add_square(sums[c], x, magnitude);
      }
      if constexpr (kWork) f.work[i] = select(apply, source[i] + v * t[C], source[i]);
    }
  }

  // The targets' norms, downdated or recomputed.
  for (std::size_t c = 0; c < C; ++c) {
    const std::size_t k = first + c;
    // A NaN norm counts as non-zero.
    const auto downdate = reflect & (f.rdiag[k] != 0.0);
    if (branch_if(downdate)) {
      Real ratio = target[c][j] / f.rdiag[k];
      const Real shrunk = f.rdiag[k] * sqrt(nan_max(filled<Real>(0.0), 1.0 - ratio * ratio));
      f.rdiag[k] = select(downdate, shrunk, f.rdiag[k]);
      ratio = f.rdiag[k] / f.refnorm[k];
      const auto recompute = downdate & (kDowndateWeight * ratio * ratio < kDowndateFloor);
      if (any(recompute)) {
        const Real fresh = finish_norm(sums[c], target[c], j + 1, f.rows, f.count, recompute);
        f.rdiag[k] = select(recompute, fresh, f.rdiag[k]);
        f.refnorm[k] = select(recompute, fresh, f.refnorm[k]);
      }
    }
    f.below[k] = sums[c];
  }
}

// reflect_columns for a count of columns known only as the run goes, at
// most kMax.
template <std::size_t C, std::size_t kMax, bool kWork, bool kScale, class F, class Real, class Bool>
[[gnu::always_inline]] inline void reflect_count(const F& f, std::size_t count, std::size_t j,
                                                 std::size_t first, Real cnorm, Bool reflect) {
  if (count == C) {
    reflect_columns<C, kWork, kScale>(f, j, first, cnorm, reflect);
  } else if constexpr (C < kMax) {
    reflect_count<C + 1, kMax, kWork, kScale>(f, count, j, first, cnorm, reflect);
  }
}

// Step j: the pivot, the Householder vector and its reflection of the later
// columns (and the work vector). See factor_pivoted for kFixedN and
// kTargets.
template <std::size_t kFixedN, std::size_t kTargets, bool kQtf, class F>
[[gnu::always_inline]] inline void householder_step(const F& f, std::size_t j) {
  using Real = std::remove_pointer_t<decltype(f.acnorm)>;
  using Index = std::remove_pointer_t<decltype(f.ipvt)>;
  using Sum = std::remove_pointer_t<decltype(f.below)>;
  Real* const cj = f.col[j];

  // Pivot: strictly greater wins, so ties keep the lower index, and a NaN
  // norm neither wins nor is displaced.
  Index kmax = count_of<Index>(j);
  Real best = f.rdiag[j];
  for (std::size_t k = j + 1; k < f.n; ++k) {
    const auto greater = f.rdiag[k] > best;
    kmax = select(greater, count_of<Index>(k), kmax);
    best = select(greater, f.rdiag[k], best);
  }
  for (std::size_t k = j + 1; k < f.n; ++k) {
    const auto swap = f.lanes & (kmax == count_of<Index>(k));
    if (!any(swap)) continue;
    Real* const ck = f.col[k];
    for (std::size_t i = 0; i < f.rows; ++i) {
      const Real a = cj[i];
      cj[i] = select(swap, ck[i], a);
      ck[i] = select(swap, a, ck[i]);
    }
    f.rdiag[k] = select(swap, f.rdiag[j], f.rdiag[k]);
    f.refnorm[k] = select(swap, f.refnorm[j], f.refnorm[k]);
    const Index pj = f.ipvt[j];
    f.ipvt[j] = select(swap, f.ipvt[k], pj);
    f.ipvt[k] = select(swap, pj, f.ipvt[k]);
    const Sum bj = f.below[j];
    f.below[j] = select(swap, f.below[k], bj);
    f.below[k] = select(swap, bj, f.below[k]);
  }

  // The first step's column is whole and unchanged: its norm is acnorm's.
  Real cnorm = j == 0 ? f.pivots.gather(ValuesAt<Real>{f.acnorm}, 0)
                      : finish_norm(f.below[j], cj, j, f.rows, f.count, f.lanes);
  const auto reflect = f.lanes & (cnorm != 0.0);
  // The divisor takes the diagonal's sign, so that the 1 added to the
  // scaled diagonal never cancels against it.
  cnorm = select(reflect & (cj[j] < 0.0), -cnorm, cnorm);

  constexpr std::size_t kColumns = kTargets - 1;
  if constexpr (kFixedN > 0) {
    // Every later column in one pass, with the work vector.
    reflect_count<0, kFixedN - 1, kQtf, true>(f, kFixedN - 1 - j, j, j + 1, cnorm, reflect);
  } else {
    // In groups, the first forming the Householder vector; the work vector
    // rides along with the last.
    const std::size_t first = j + 1;
    const std::size_t last = std::min(f.n, first + kColumns);
    if (kQtf && last == f.n) {
      reflect_count<0, kColumns, true, true>(f, last - first, j, first, cnorm, reflect);
    } else {
      reflect_count<0, kColumns, false, true>(f, last - first, j, first, cnorm, reflect);
    }
    for (std::size_t group = last; group < f.n; group += kColumns) {
      const std::size_t end = std::min(f.n, group + kColumns);
      if (kQtf && end == f.n) {
        reflect_count<1, kColumns, true, false>(f, end - group, j, group, cnorm, reflect);
      } else {
        reflect_count<1, kColumns, false, false>(f, end - group, j, group, cnorm, reflect);
      }
    }
  }
  // For a zero column this is -0.0: the column is left as it was.
  f.rdiag[j] = -cnorm;
  if constexpr (kQtf) {
    cj[j] = f.rdiag[j];
    f.qtf[j] = f.work[j];
  }
}

// column_norms for a count of columns known only as the run goes, 1 to
// kMax.
template <std::size_t C, std::size_t kMax, class F>
[[gnu::always_inline]] inline void norms_count(const F& f, std::size_t count, std::size_t first) {
  if (count == C) {
    column_norms<C>(f, first);
  } else if constexpr (C < kMax) {
    norms_count<C + 1, kMax>(f, count, first);
  }
}

// Every step of a factorisation of kFixedN columns (which a problem of that
// many parameters has as many rows as).
template <std::size_t kFixedN, std::size_t kTargets, bool kQtf, class F, std::size_t... J>
[[gnu::always_inline]] inline void fixed_steps(const F& f, std::index_sequence<J...>) {
  (householder_step<kFixedN, kTargets, kQtf>(f, J), ...);
}

// The factorisation J P = Q R of the n columns in place: afterwards column j
// is column ipvt[j] of the input, rows 0 .. j - 1 of it hold R above its
// diagonal and rows j .. m - 1 the Householder vector v_j (H_j = I - v_j
// v_j^T / v_j[j]); `rdiag` holds R's diagonal (with kQtf also put onto the
// columns' diagonal), `acnorm` the input columns' norms in input order.
// `refnorm` is scratch of n. With kFixedN > 0, n is kFixedN and every pass
// takes all the vectors it reads; else a pass takes at most kTargets side by
// side.
template <std::size_t kFixedN, std::size_t kTargets, bool kQtf, class F>
inline void factor_pivoted(const F& f) {
  static_assert(kTargets >= 2, "a pass takes a column and the work vector at least");
  if constexpr (kFixedN > 0) {
    column_norms<kFixedN>(f, 0);
  } else {
    for (std::size_t first = 0; first < f.n; first += kTargets) {
      norms_count<1, kTargets>(f, std::min(f.n - first, kTargets), first);
    }
  }
  for (std::size_t j = 0; j < f.n; ++j) {
    f.rdiag[j] = f.acnorm[j];
    f.refnorm[j] = f.acnorm[j];
    f.ipvt[j] = count_of<std::remove_pointer_t<decltype(f.ipvt)>>(j);
  }
  if constexpr (kFixedN > 0) {
    // Each step with its own j, as a constant: its loops over the columns
    // unroll and its count of later columns is known.
    fixed_steps<kFixedN, kTargets, kQtf>(f, std::make_index_sequence<kFixedN>{});
  } else {
    const std::size_t steps = std::min(f.rows, f.n);
    for (std::size_t j = 0; j < steps; ++j) householder_step<kFixedN, kTargets, kQtf>(f, j);
  }
}
