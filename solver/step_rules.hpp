// The rules of the solver's steps, written once for one problem (Real a
// double, conditions bool) and for lanes (Real Doubles, conditions Mask), in
// the operations of scalar_or_lanes.hpp. Each rule makes the same
// floating-point operations in the same order on the same operands whichever
// type it runs on, so a lane takes the very bits the scalar run takes.
// Every rule is always inlined, so that its code lands inside the step that
// uses it, where a hand-written copy would stand, and a lane's rule is
// unrolled over its fixed count of parameters.
//
// Included inside a namespace, not at file scope: quillet::solver for the
// scalar steps (driver_steps.cpp, lm_parameter.cpp, euclid_norm.cpp), and the
// lanes' quillet::solver::QUILLET_LANE_ISA (lane_solver.hpp), where the
// rules are compiled for that instruction set. The includer has included
// <cstddef>, <cstdint>, solver_types.hpp, step_constants.hpp and
// scalar_or_lanes.hpp at file scope before.

// --- Freezing at a limit ----------------------------------------------------

// A parameter resting on an active limit whose gradient points outward would
// only be pushed back onto the limit: zeroing its Jacobian column keeps it
// out of this Jacobian's step. The gradient is the column's product with the
// residuals over the rows of each problem.
template <class Real, class Bool, class Count>
[[gnu::always_inline]] inline void freeze_if_outward(const Real* fvec, Real* column,
                                                     std::size_t rows, Count count, Bool at_lower,
                                                     Bool at_upper) {
  if (!any(at_lower | at_upper)) return;
  Real grad{};
  for (std::size_t i = 0; i < rows; ++i) {
    grad = select(row_live(i, count), grad + fvec[i] * column[i], grad);
  }
  const Bool zero = (at_lower & (grad > 0.0)) | (at_upper & (grad < 0.0));
  if (!any(zero)) return;
  for (std::size_t i = 0; i < rows; ++i) column[i] = select(zero, 0.0, column[i]);
}

// --- The first scaling --------------------------------------------------------

// A parameter's scale from its column norm: 1 for a zero column.
template <class Real>
[[gnu::always_inline]] inline Real scale_of_column(Real acnorm) {
  return select(acnorm == 0.0, 1.0, acnorm);
}

// The first step bound, in proportion to the scaled starting point (the
// factor itself when that point is zero).
template <class Real>
[[gnu::always_inline]] inline Real initial_step_bound(Real step_factor, Real xnorm) {
  const Real delta = step_factor * xnorm;
  return select(delta == 0.0, step_factor, delta);
}

// --- Products and solves with R -------------------------------------------
//
// A matrix accessor `r(i, j)` reads element (i, j) of the factorisation's
// upper triangle R (or of a lower triangle kept beside it), whatever its
// layout; a vector accessor `v(j)` reads the component that belongs to R's
// column j (for a vector over parameters, that of parameter ipvt[j]).

// Accessors the rules build for one another. Structs, not lambdas: GCC
// compiles a lambda for the baseline whatever the lanes' target pragma says.
// v[j].
template <class Real>
struct ValuesAt {
  const Real* v;
  Real operator()(std::size_t j) const { return v[j]; }
};

// r(j, j).
template <class Matrix>
struct DiagonalOf {
  const Matrix* r;
  auto operator()(std::size_t j) const { return (*r)(j, j); }
};

// f(ipvt[j]): an accessor over free parameters read in R's column order.
template <class Pivots, class F>
struct InPivotOrder {
  const Pivots* pivots;
  const F* f;
  auto operator()(std::size_t j) const { return pivots->gather(*f, j); }
};

// A count of columns, or a column index, as a Count (std::int64_t or Ints).
template <class Count>
[[gnu::always_inline]] inline Count count_of(std::size_t j) {
  return Count{} + static_cast<std::int64_t>(j);
}

// The gradient test's measure: the largest cosine between the residuals and
// a Jacobian column, |sum / colnorm(j)| with sum the column of R times
// Q^T fvec / fnorm. A zero column, or a zero fnorm, adds nothing; a NaN
// fnorm counts as nonzero.
template <class Real, class Matrix, class Norms>
[[gnu::always_inline]] inline Real gradient_measure(const Matrix& r, const Norms& colnorm,
                                                    const Real* qtf, Real fnorm, std::size_t n) {
  Real gnorm{};
  for (std::size_t j = 0; j < n; ++j) {
    const Real c = colnorm(j);
    const auto counted = (fnorm != 0.0) & (c != 0.0);
    if (!branch_if(counted)) continue;
    Real sum{};
    for (std::size_t i = 0; i <= j; ++i) sum = sum + r(i, j) * (qtf[i] / fnorm);
    gnorm = select(counted, nan_max(gnorm, abs(sum / c)), gnorm);
  }
  return gnorm;
}

// out = R P^T step: the step in pivoted order times R, summed column by
// column.
template <class Real, class Matrix, class Step>
[[gnu::always_inline]] inline void r_times_step(const Matrix& r, const Step& step, Real* out,
                                                std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = Real{};
  for (std::size_t j = 0; j < n; ++j) {
    const Real t = step(j);
    for (std::size_t i = 0; i <= j; ++i) out[i] = out[i] + r(i, j) * t;
  }
}

// Solves the leading nonsingular block of the triangular system with
// diagonal `diag(j)` and off-diagonal `r`, in place in w: the components
// from the first zero on the diagonal on are set to zero, and the rest
// solved from the last up. `upper` says whether the system is upper
// triangular (R u = w, off-diagonal r(i, j) for i < j, each solved component
// taken out of those above it at once) or lower triangular transposed
// (L^T u = w, off-diagonal r(i, j) for i > j, each component summed from
// those below it). Returns the size of the nonsingular block.
template <class Count, class Real, class Matrix, class Diagonal>
[[gnu::always_inline]] inline Count solve_nonsingular(const Matrix& r, const Diagonal& diag,
                                                      Real* w, std::size_t n, bool upper) {
  const Count none = count_of<Count>(n);
  Count nsing = none;
  for (std::size_t j = 0; j < n; ++j) {
    nsing = select((diag(j) == 0.0) & (nsing == none), count_of<Count>(j), nsing);
    w[j] = select(nsing < none, 0.0, w[j]);
  }
  for (std::size_t j = n; j-- > 0;) {
    const auto solve = count_of<Count>(j) < nsing;
    if (!branch_if(solve)) continue;
    if (upper) {
      w[j] = select(solve, w[j] / diag(j), w[j]);
      const Real t = w[j];
      for (std::size_t i = 0; i < j; ++i) w[i] = select(solve, w[i] - r(i, j) * t, w[i]);
    } else {
      Real sum{};
      for (std::size_t i = j + 1; i < n; ++i) {
        sum = select(count_of<Count>(i) < nsing, sum + r(i, j) * w[i], sum);
      }
      w[j] = select(solve, (w[j] - sum) / diag(j), w[j]);
    }
  }
  return nsing;
}

// Solves R^T a = a in place (R nonsingular), from the first component down.
template <class Real, class Matrix>
[[gnu::always_inline]] inline void solve_r_transposed(const Matrix& r, Real* a, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    Real sum{};
    for (std::size_t i = 0; i < j; ++i) sum = sum + r(i, j) * a[i];
    a[j] = (a[j] - sum) / r(j, j);
  }
}

// Solves S a = a in place for the lower triangular S of the damped solve:
// diagonal `diag(j)`, below it `lower(i, j)` (i > j).
template <class Real, class Matrix, class Diagonal>
[[gnu::always_inline]] inline void solve_lower(const Matrix& lower, const Diagonal& diag, Real* a,
                                               std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    a[j] = a[j] / diag(j);
    const Real t = a[j];
    for (std::size_t i = j + 1; i < n; ++i) a[i] = a[i] - lower(i, j) * t;
  }
}

// The upper bound's gradient: out[j] = (column j of R times qtf) / d(j), with
// d the scale of R's column j.
template <class Real, class Matrix, class Scale>
[[gnu::always_inline]] inline void scaled_gradient(const Matrix& r, const Real* qtf, const Scale& d,
                                                   Real* out, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    Real sum{};
    for (std::size_t i = 0; i <= j; ++i) sum = sum + r(i, j) * qtf[i];
    out[j] = sum / d(j);
  }
}

// A Givens rotation that zeroes b against a: the cotangent form where |b| >
// |a|, else the tangent form. Either way one ratio no larger than 1 in
// magnitude (its square cannot overflow), one division and one square root.
template <class Real>
struct Rotation {
  Real cos, sin;
};

template <class Real>
[[gnu::always_inline]] inline Rotation<Real> givens(Real a, Real b) {
  const auto cot = abs(b) > abs(a);
  const Real ratio = select(cot, a, b) / select(cot, b, a);
  const Real first = 0.5 / sqrt(0.25 + 0.25 * (ratio * ratio));
  const Real second = first * ratio;
  return {select(cot, second, first), select(cot, first, second)};
}

// --- Shortening a step at the limits ----------------------------------------

// The step's common factor so far, and the free position (with the limit)
// that set it.
template <class Real, class Bool, class Index>
struct Shortening {
  Real alpha;
  Index limiting;
  Bool limiting_upper;
};

// One free parameter's share of the shortening: a step that would push a
// parameter pegged at a limit further out is dropped, and a step that would
// take it across an active limit shortens every step so that it meets the
// limit. `moves` is judged on the step before it is dropped.
template <class Real, class Bool, class Index>
[[gnu::always_inline]] inline void shorten_for(Real x, Real lower, Real upper, Bool has_lower,
                                               Bool has_upper, Index j, Real& step,
                                               Shortening<Real, Bool, Index>& s) {
  const Bool pegged_low = has_lower & (x <= lower);
  const Bool pegged_high = has_upper & (x >= upper);
  const Bool moves = abs(step) > kEpsilon;
  step = select(pegged_low & (step < 0.0), 0.0, step);
  step = select(pegged_high & (step > 0.0), 0.0, step);
  const Bool below = moves & has_lower & (x + step < lower);
  if (branch_if(below)) {
    const Real t = (lower - x) / step;
    const Bool lowers = below & (t < s.alpha);
    s.alpha = select(lowers, t, s.alpha);
    s.limiting = select(lowers, j, s.limiting);
    s.limiting_upper = s.limiting_upper & !lowers;
  }
  const Bool above = moves & has_upper & (x + step > upper);
  if (branch_if(above)) {
    const Real t = (upper - x) / step;
    const Bool lowers = above & (t < s.alpha);
    s.alpha = select(lowers, t, s.alpha);
    s.limiting = select(lowers, j, s.limiting);
    s.limiting_upper = s.limiting_upper | lowers;
  }
}

// The shortened step of one free parameter (into `step`) and its trial
// value: the parameter that set alpha lands on its limit exactly, and a
// value within a relative eps of an active limit is snapped onto it.
template <class Real, class Bool, class Index>
[[gnu::always_inline]] inline Real shortened_trial(Real x, Real lower, Real upper, Bool has_lower,
                                                   Bool has_upper, Index j, Real& step,
                                                   const Shortening<Real, Bool, Index>& s) {
  step = step * s.alpha;
  Real v = x + step;
  v = select(s.limiting == j, select(s.limiting_upper, upper, lower), v);
  {
    const Real f = select(upper >= 0.0, kBelowOne, kAboveOne);
    const Real g = select(upper == 0.0, kEpsilon, 0.0);
    v = select(has_upper & (v >= upper * f - g), upper, v);
  }
  {
    const Real f = select(lower >= 0.0, kAboveOne, kBelowOne);
    const Real g = select(lower == 0.0, kEpsilon, 0.0);
    v = select(has_lower & (v <= lower * f + g), lower, v);
  }
  return v;
}

// --- Judging a trial --------------------------------------------------------

// The actual reduction of the residual norm; a trial ten times worse than
// the current point (or NaN) counts as no reduction at all.
template <class Real>
[[gnu::always_inline]] inline Real actual_reduction(Real fnorm1, Real fnorm) {
  return select(kTenth * fnorm1 < fnorm, 1.0 - (fnorm1 / fnorm) * (fnorm1 / fnorm), -1.0);
}

template <class Real>
struct Reductions {
  Real actred;
  Real prered;  // predicted by the linear model
  Real dirder;  // the directional derivative along the step
  Real ratio;   // actred / prered, 0 when nothing is predicted
};

// `rnorm` is |R P^T step| of the step as shortened. That step already
// carries alpha and t1 applies it once more: the solver's results are
// defined with this predicted reduction.
template <class Real>
[[gnu::always_inline]] inline Reductions<Real> reductions(Real actred, Real rnorm, Real alpha,
                                                          Real par, Real pnorm, Real fnorm) {
  const Real t1 = rnorm * alpha / fnorm;
  const Real t2 = sqrt(alpha * par) * pnorm / fnorm;
  const Real prered = t1 * t1 + t2 * t2 / 0.5;
  const Real dirder = -(t1 * t1 + t2 * t2);
  const Real ratio = select(prered != 0.0, actred / prered, 0.0);
  return {actred, prered, dirder, ratio};
}

template <class Real>
struct StepBound {
  Real delta;
  Real par;
};

// The step bound after a trial: a poor step (ratio at most a quarter)
// shrinks it, by half or by the factor its quadratic model suggests but
// never below a tenth, and raises par to match; a good one (ratio at least
// three quarters, or any step without damping) sets it to twice the step
// taken and halves par. Otherwise both stay.
template <class Real>
[[gnu::always_inline]] inline StepBound<Real> next_step_bound(const Reductions<Real>& r, Real delta,
                                                              Real par, Real pnorm, Real fnorm1,
                                                              Real fnorm) {
  const auto poor = r.ratio <= kPoorRatio;
  const auto good = (!poor) & ((par == 0.0) | (r.ratio >= kGoodRatio));
  StepBound<Real> out{delta, par};
  if (branch_if(poor)) {
    Real temp = select(r.actred >= 0.0, kHalfStep,
                       r.dirder * kHalfStep / (r.dirder + kHalfStep * r.actred));
    temp = select((kTenth * fnorm1 >= fnorm) | (temp < kTenth), kTenth, temp);
    out.delta = select(poor, temp * nan_min(delta, pnorm / kTenth), out.delta);
    out.par = select(poor, par / temp, out.par);
  }
  if (branch_if(good)) {
    out.delta = select(good, pnorm / kHalfStep, out.delta);
    out.par = select(good, kHalfStep * par, out.par);
  }
  return out;
}

// The code of a SolverStatus, 0 while the run goes on.
template <class Code>
[[gnu::always_inline]] inline Code code_of(Code running, SolverStatus status) {
  return running + static_cast<std::int64_t>(status);
}

// The convergence tests, then the termination tests, as a SolverStatus code
// (0: the run goes on). A convergence test met wins over every termination
// test; among the termination tests a later one overrides an earlier.
template <class Code, class Real, class Count>
[[gnu::always_inline]] inline Code stop_code(const Reductions<Real>& r, Real delta, Real xnorm,
                                             Real gnorm, Real ftol, Real xtol, Count nfev,
                                             Count maxfev, Count iter, Count max_iter) {
  const Code zero{};
  const auto ftol_met = (abs(r.actred) <= ftol) & (r.prered <= ftol) & (0.5 * r.ratio <= 1.0);
  const auto xtol_met = delta <= xtol * xnorm;
  Code status = zero;
  status = select(ftol_met, code_of(zero, SolverStatus::FtolReached), status);
  status = select(xtol_met, code_of(zero, SolverStatus::XtolReached), status);
  status = select(ftol_met & xtol_met, code_of(zero, SolverStatus::FtolXtolReached), status);

  const Code max_iter_reached = code_of(zero, SolverStatus::MaxIterReached);
  Code limits = zero;
  limits = select((maxfev > 0) & (nfev >= maxfev), max_iter_reached, limits);
  limits = select(iter >= max_iter, max_iter_reached, limits);
  limits = select((abs(r.actred) <= kEpsilon) & (r.prered <= kEpsilon) & (0.5 * r.ratio <= 1.0),
                  code_of(zero, SolverStatus::FtolTooSmall), limits);
  limits = select(delta <= kEpsilon * xnorm, code_of(zero, SolverStatus::XtolTooSmall), limits);
  limits = select(gnorm <= kEpsilon, code_of(zero, SolverStatus::GtolTooSmall), limits);
  return select(status == zero, limits, status);
}

// What judging a trial reads and writes of one run, or of the lanes' runs:
// the current point's norms, bound and counts, its free values `x` (n) and
// residuals `fvec` (rows), the trial's, and the step taken (n, by free
// parameter). `r_step` and `scaled_x` are scratch of n.
template <class Real, class Count>
struct TrialJudging {
  Real& fnorm;
  Real& fnorm1;
  Real& xnorm;
  Real& delta;
  Real& par;
  Count& iter;
  const Real& gnorm;
  const Real& ftol;
  const Real& xtol;
  const Count& nfev;
  const Count& maxfev;
  const Count& max_iter;
  Real* x;
  Real* fvec;
  const Real* trial_x;
  const Real* trial_fvec;
  const Real* step;
  Real* r_step;
  Real* scaled_x;
};

// One trial judged, for the problems of `lanes`, with the trial's residuals
// evaluated: the actual and predicted reductions, the new step bound and
// par, the acceptance of a step whose ratio is at least kAcceptRatio (the
// trial becomes the current point, and the iteration counter grows), then
// the convergence and termination tests into `status` (0: the run goes on).
// `alpha` and `pnorm` are the trial's shortening and scaled length, `d(j)`
// the scale of free parameter j, `norm_free(v, active)` the norm of n
// values and `norm_rows(v, active)` of each problem's residuals. Returns the
// problems whose next step needs a fresh Jacobian: those not refused by the
// ratio (a NaN ratio is not accepted, yet asks for one too).
template <class Code, class Real, class Bool, class Count, class Matrix, class Pivots, class Scale,
          class NormFree, class NormRows>
[[gnu::always_inline]] inline Bool judge_trial(Bool lanes, const TrialJudging<Real, Count>& s,
                                               const Matrix& r, const Pivots& pivots,
                                               const Scale& d, Real alpha, Real pnorm,
                                               std::size_t n, std::size_t rows,
                                               const NormFree& norm_free, const NormRows& norm_rows,
                                               Code& status) {
  const Real fnorm1 = norm_rows(s.trial_fvec, lanes);
  s.fnorm1 = select(lanes, fnorm1, s.fnorm1);
  const Real fnorm = s.fnorm;
  const Real actred = actual_reduction(fnorm1, fnorm);

  const ValuesAt<Real> step{s.step};
  r_times_step(r, InPivotOrder<Pivots, ValuesAt<Real>>{&pivots, &step}, s.r_step, n);
  const Reductions<Real> red =
      reductions(actred, norm_free(s.r_step, lanes), alpha, s.par, pnorm, fnorm);
  const StepBound<Real> bound = next_step_bound(red, s.delta, s.par, pnorm, fnorm1, fnorm);
  s.delta = select(lanes, bound.delta, s.delta);
  s.par = select(lanes, bound.par, s.par);

  const Bool accept = lanes & (red.ratio >= kAcceptRatio);
  if (any(accept)) {
    for (std::size_t j = 0; j < n; ++j) {
      s.x[j] = select(accept, s.trial_x[j], s.x[j]);
      s.scaled_x[j] = d(j) * s.x[j];
    }
    for (std::size_t i = 0; i < rows; ++i) s.fvec[i] = select(accept, s.trial_fvec[i], s.fvec[i]);
    const Real xnorm = norm_free(s.scaled_x, accept);
    s.xnorm = select(accept, xnorm, s.xnorm);
    s.fnorm = select(accept, fnorm1, s.fnorm);
    s.iter = select(accept, s.iter + 1, s.iter);
  }

  const Code code = stop_code<Code>(red, s.delta, s.xnorm, s.gnorm, s.ftol, s.xtol, s.nfev,
                                    s.maxfev, s.iter, s.max_iter);
  status = select(lanes, code, status);
  return lanes & !(red.ratio < kAcceptRatio);
}

// --- The Levenberg–Marquardt parameter ----------------------------------------

// A Gauss–Newton step this short (fp = |D u| - delta) is taken with par = 0.
template <class Real>
[[gnu::always_inline]] inline auto newton_step_fits(Real fp, Real delta) {
  return fp <= kDeltaTolerance * delta;
}

// One Newton step for phi(par) = |D u| - delta: fp / (delta tn^2), with tn
// the norm of the solve's scaled direction. It gives the first lower bound
// and every correction.
template <class Real>
[[gnu::always_inline]] inline Real newton_correction(Real fp, Real delta, Real tn) {
  return ((fp / delta) / tn) / tn;
}

// The upper bound |(J D^-1)^T f| / delta, kept positive when that is zero.
template <class Real>
[[gnu::always_inline]] inline Real initial_par_upper(Real qnorm, Real delta) {
  const Real paru = qnorm / delta;
  return select(paru == 0.0, kMinNormal / nan_min(delta, filled<Real>(kDeltaTolerance)), paru);
}

// The previous call's par, clamped into the new bounds (and taken from the
// Gauss–Newton step when that gives zero).
template <class Real>
[[gnu::always_inline]] inline Real initial_par(Real par, Real parl, Real paru, Real qnorm,
                                               Real dxnorm) {
  par = nan_max(par, parl);
  par = nan_min(par, paru);
  return select(par == 0.0, qnorm / dxnorm, par);
}

// The par each damped solve uses: a zero par takes a thousandth of the upper
// bound, kept positive.
template <class Real>
[[gnu::always_inline]] inline Real positive_par(Real par, Real paru) {
  return select(par == 0.0, nan_max(filled<Real>(kMinNormal), 0.001 * paru), par);
}

// Whether the damped solve just made ends the search: its step within a
// tenth of delta, or the step shrinking while below delta with no lower
// bound (a singular R).
template <class Real>
[[gnu::always_inline]] inline auto par_search_done(Real fp, Real fp_prev, Real parl, Real delta) {
  return (abs(fp) <= kDeltaTolerance * delta) | ((parl == 0.0) & (fp <= fp_prev) & (fp_prev < 0.0));
}

// The bounds narrowed by the last solve's side of delta, and the next par.
template <class Real>
[[gnu::always_inline]] inline void next_par(Real fp, Real parc, Real& par, Real& parl, Real& paru) {
  parl = select(fp > 0.0, nan_max(parl, par), parl);
  paru = select(fp < 0.0, nan_min(paru, par), paru);
  par = nan_max(parl, par + parc);
}
