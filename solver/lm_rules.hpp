// The Levenberg–Marquardt parameter's search and the damped solves it makes,
// written once for one problem (Real a double, conditions bool, counts
// std::int64_t) and for lanes (Real Doubles, conditions Mask, counts Ints),
// in the operations of scalar_or_lanes.hpp and over the rules of
// step_rules.hpp. Each lane makes the operations one problem makes, in its
// order and on its operands; where the scalar run returns, a lane drops out
// of `live` and keeps what it had.
//
// The accessors name the storage of each: `r(i, j)` reads R (i <= j);
// `lower(i, j)` is the damped factor's strict lower triangle (i > j), read
// and written; `d(j)` is the scale of free parameter j; `pivots` knows R's
// column order (pivots.gather(f, j) = f(ipvt[j]) for an accessor f over free
// parameters, pivots.scatter(w, out): out[ipvt[j]] = w[j]); `norm(v,
// active)` is the Euclidean norm of the n values at v (for the lanes of
// `active`).
//
// Included inside a namespace, after step_rules.hpp: quillet::solver by
// lm_parameter.cpp, and the lanes' quillet::solver::QUILLET_LANE_ISA by
// lane_solver.hpp.

// out[j] = (v[ipvt[j]] / vnorm) * d(ipvt[j]): D (D u) / |D u| in the column
// order of R, for v = D u and vnorm = |v|.
template <class Real, class Pivots, class Scale>
[[gnu::always_inline]] inline void newton_scaled_step(const Pivots& pivots, const Scale& d,
                                                      const Real* v, Real vnorm, Real* out,
                                                      std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    out[j] = (pivots.gather(ValuesAt<Real>{v}, j) / vnorm) * pivots.gather(d, j);
  }
}

// Solves R u ~ qtb, diag(damp) P^T u ~ 0 by Givens rotations: the rotated
// factor S keeps its strict lower triangle in `lower` and its diagonal in
// `sdiag`. R itself is only read; `u` holds the working diagonal until it
// receives the solution. `damp` is by free parameter, `w` scratch of n.
template <class Count, class Real, class Matrix, class Lower, class Pivots>
[[gnu::always_inline]] inline void damped_solve(const Matrix& r, Lower& lower, const Pivots& pivots,
                                                const Real* damp, const Real* qtb, Real* u,
                                                Real* sdiag, Real* w, std::size_t n) {
  Real* const diagonal = u;
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j + 1; i < n; ++i) lower(i, j) = r(j, i);
    diagonal[j] = r(j, j);
    w[j] = qtb[j];
  }
  for (std::size_t j = 0; j < n; ++j) {
    // A NaN damping counts as non-zero.
    const Real dl = pivots.gather(ValuesAt<Real>{damp}, j);
    const auto go = dl != 0.0;
    if (branch_if(go)) {
      for (std::size_t k = j + 1; k < n; ++k) sdiag[k] = select(go, 0.0, sdiag[k]);
      sdiag[j] = select(go, dl, sdiag[j]);
      Real qtbpj{};
      for (std::size_t k = j; k < n; ++k) {
        const auto rotate = go & (sdiag[k] != 0.0);
        if (!branch_if(rotate)) continue;
        const Real rkk = diagonal[k];
        const auto [cos, sin] = givens(rkk, sdiag[k]);
        diagonal[k] = select(rotate, cos * rkk + sin * sdiag[k], diagonal[k]);
        const Real wk = cos * w[k] + sin * qtbpj;
        const Real q = cos * qtbpj - sin * w[k];
        w[k] = select(rotate, wk, w[k]);
        qtbpj = select(rotate, q, qtbpj);
        for (std::size_t i = k + 1; i < n; ++i) {
          const Real l = cos * lower(i, k) + sin * sdiag[i];
          const Real sd = cos * sdiag[i] - sin * lower(i, k);
          lower(i, k) = select(rotate, l, lower(i, k));
          sdiag[i] = select(rotate, sd, sdiag[i]);
        }
      }
    }
    sdiag[j] = diagonal[j];
  }
  // A zero on S's diagonal makes the system singular: the leading
  // nonsingular block is solved and the rest set to zero.
  solve_nonsingular<Count>(lower, ValuesAt<Real>{sdiag}, w, n, false);
  pivots.scatter(w, u);
}

// The search for par and the step u within delta: the Gauss–Newton step
// where it is short enough (par 0), else up to kMaxSolves damped solves
// narrowing par between its bounds by Newton steps on |D u| - delta. Each
// problem of `live` takes par (from its previous value in `par_io`, which
// receives the new one) and u (into `u_out`) from the last solve it made;
// `u` is the solves' own (one problem may pass u_out for it). `w1`, `w2`
// and `sdiag` are scratch of n values (w1 holds each solve's damping, w2
// ends as D u).
template <class Count, class Real, class Bool, class Matrix, class Lower, class Pivots, class Scale,
          class Norm>
[[gnu::always_inline]] inline void lm_parameter_search(Bool live, const Matrix& r, Lower& lower,
                                                       const Pivots& pivots, const Scale& d,
                                                       const Real* qtf, Real delta, Real& par_io,
                                                       Real* u, Real* u_out, Real* sdiag, Real* w1,
                                                       Real* w2, std::size_t n, const Norm& norm) {
  // Gauss–Newton direction, with the components from the first zero on R's
  // diagonal on set to zero.
  for (std::size_t j = 0; j < n; ++j) w1[j] = qtf[j];
  const Count nsing = solve_nonsingular<Count>(r, DiagonalOf<Matrix>{&r}, w1, n, true);
  pivots.scatter(w1, u);
  for (std::size_t j = 0; j < n; ++j) w2[j] = d(j) * u[j];
  Real dxnorm = norm(w2, live);
  Real fp = dxnorm - delta;
  const Bool newton = live & newton_step_fits(fp, delta);
  par_io = select(newton, 0.0, par_io);
  for (std::size_t j = 0; j < n; ++j) u_out[j] = select(newton, u[j], u_out[j]);
  live = live & !newton;
  if (!any(live)) return;

  // Lower bound: one Newton step for phi(par) = |D u| - delta from par = 0,
  // available only when R is nonsingular.
  Real parl{};
  const auto regular = nsing == count_of<Count>(n);
  if (branch_if(regular)) {
    newton_scaled_step(pivots, d, w2, dxnorm, w1, n);
    solve_r_transposed(r, w1, n);
    const Real tn = norm(w1, live & regular);
    parl = select(regular, newton_correction(fp, delta, tn), parl);
  }

  // Upper bound: |(J D^-1)^T f| / delta.
  scaled_gradient(r, qtf, InPivotOrder<Pivots, Scale>{&pivots, &d}, w1, n);
  const Real qnorm = norm(w1, live);
  Real paru = initial_par_upper(qnorm, delta);
  Real par = initial_par(par_io, parl, paru, qnorm, dxnorm);

  for (int solves = 1;; ++solves) {
    par = positive_par(par, paru);
    const Real t = sqrt(par);
    for (std::size_t j = 0; j < n; ++j) w1[j] = t * d(j);
    damped_solve<Count>(r, lower, pivots, w1, qtf, u, sdiag, w2, n);
    for (std::size_t j = 0; j < n; ++j) w2[j] = d(j) * u[j];
    dxnorm = norm(w2, live);
    const Real fp_prev = fp;
    fp = dxnorm - delta;

    par_io = select(live, par, par_io);
    for (std::size_t j = 0; j < n; ++j) u_out[j] = select(live, u[j], u_out[j]);
    live = live & !(par_search_done(fp, fp_prev, parl, delta) | flag<Bool>(solves == kMaxSolves));
    if (!any(live)) return;

    // Newton correction from S^T S = P^T (J^T J + par D^2) P.
    newton_scaled_step(pivots, d, w2, dxnorm, w1, n);
    solve_lower(lower, ValuesAt<Real>{sdiag}, w1, n);
    const Real tn = norm(w1, live);
    next_par(fp, newton_correction(fp, delta, tn), par, parl, paru);
  }
}
