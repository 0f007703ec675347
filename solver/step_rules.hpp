// The rules of the solver's steps, written once for one problem (Real a
// double, conditions bool) and for lanes (Real Doubles, conditions Mask), in
// the operations of scalar_or_lanes.hpp. Each rule makes the same
// floating-point operations in the same order on the same operands whichever
// type it runs on, so a lane takes the very bits the scalar run takes.
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
void freeze_if_outward(const Real* fvec, Real* column, std::size_t rows, Count count, Bool at_lower,
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
Real scale_of_column(Real acnorm) {
  return select(acnorm == 0.0, 1.0, acnorm);
}

// The first step bound, in proportion to the scaled starting point (the
// factor itself when that point is zero).
template <class Real>
Real initial_step_bound(Real step_factor, Real xnorm) {
  const Real delta = step_factor * xnorm;
  return select(delta == 0.0, step_factor, delta);
}

// --- The gradient test ------------------------------------------------------

// The gradient test's measure folds in column j: the cosine between the
// residuals and that column is |sum / colnorm|, where sum is the column of R
// times Q^T fvec / fnorm. A zero column, or a zero fnorm, adds nothing; a
// NaN fnorm counts as nonzero.
template <class Real>
Real fold_cosine(Real gnorm, Real sum, Real colnorm, Real fnorm) {
  const auto counted = (fnorm != 0.0) & (colnorm != 0.0);
  if (!any(counted)) return gnorm;
  return select(counted, nan_max(gnorm, abs(sum / colnorm)), gnorm);
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
void shorten_for(Real x, Real lower, Real upper, Bool has_lower, Bool has_upper, Index j,
                 Real& step, Shortening<Real, Bool, Index>& s) {
  const Bool pegged_low = has_lower & (x <= lower);
  const Bool pegged_high = has_upper & (x >= upper);
  const Bool moves = abs(step) > kEpsilon;
  step = select(pegged_low & (step < 0.0), 0.0, step);
  step = select(pegged_high & (step > 0.0), 0.0, step);
  const Bool below = moves & has_lower & (x + step < lower);
  if (any(below)) {
    const Real t = (lower - x) / step;
    const Bool lowers = below & (t < s.alpha);
    s.alpha = select(lowers, t, s.alpha);
    s.limiting = select(lowers, j, s.limiting);
    s.limiting_upper = s.limiting_upper & !lowers;
  }
  const Bool above = moves & has_upper & (x + step > upper);
  if (any(above)) {
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
Real shortened_trial(Real x, Real lower, Real upper, Bool has_lower, Bool has_upper, Index j,
                     Real& step, const Shortening<Real, Bool, Index>& s) {
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
Real actual_reduction(Real fnorm1, Real fnorm) {
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
Reductions<Real> reductions(Real actred, Real rnorm, Real alpha, Real par, Real pnorm, Real fnorm) {
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
StepBound<Real> next_step_bound(const Reductions<Real>& r, Real delta, Real par, Real pnorm,
                                Real fnorm1, Real fnorm) {
  const auto poor = r.ratio <= kPoorRatio;
  const auto good = (!poor) & ((par == 0.0) | (r.ratio >= kGoodRatio));
  StepBound<Real> out{delta, par};
  if (any(poor)) {
    Real temp = select(r.actred >= 0.0, kHalfStep,
                       r.dirder * kHalfStep / (r.dirder + kHalfStep * r.actred));
    temp = select((kTenth * fnorm1 >= fnorm) | (temp < kTenth), kTenth, temp);
    out.delta = select(poor, temp * nan_min(delta, pnorm / kTenth), out.delta);
    out.par = select(poor, par / temp, out.par);
  }
  if (any(good)) {
    out.delta = select(good, pnorm / kHalfStep, out.delta);
    out.par = select(good, kHalfStep * par, out.par);
  }
  return out;
}

// The code of a SolverStatus, 0 while the run goes on.
template <class Code>
Code code_of(Code running, SolverStatus status) {
  return running + static_cast<std::int64_t>(status);
}

// The convergence tests, then the termination tests, as a SolverStatus code
// (0: the run goes on). A convergence test met wins over every termination
// test; among the termination tests a later one overrides an earlier.
template <class Code, class Real, class Count>
Code stop_code(const Reductions<Real>& r, Real delta, Real xnorm, Real gnorm, Real ftol, Real xtol,
               Count nfev, Count maxfev, Count iter, Count max_iter) {
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

// --- The Levenberg–Marquardt parameter ----------------------------------------

// A Gauss–Newton step this short (fp = |D u| - delta) is taken with par = 0.
template <class Real>
auto newton_step_fits(Real fp, Real delta) {
  return fp <= kDeltaTolerance * delta;
}

// One Newton step for phi(par) = |D u| - delta: fp / (delta tn^2), with tn
// the norm of the solve's scaled direction. It gives the first lower bound
// and every correction.
template <class Real>
Real newton_correction(Real fp, Real delta, Real tn) {
  return ((fp / delta) / tn) / tn;
}

// The upper bound |(J D^-1)^T f| / delta, kept positive when that is zero.
template <class Real>
Real initial_par_upper(Real qnorm, Real delta) {
  const Real paru = qnorm / delta;
  return select(paru == 0.0, kMinNormal / nan_min(delta, filled<Real>(kDeltaTolerance)), paru);
}

// The previous call's par, clamped into the new bounds (and taken from the
// Gauss–Newton step when that gives zero).
template <class Real>
Real initial_par(Real par, Real parl, Real paru, Real qnorm, Real dxnorm) {
  par = nan_max(par, parl);
  par = nan_min(par, paru);
  return select(par == 0.0, qnorm / dxnorm, par);
}

// The par each damped solve uses: a zero par takes a thousandth of the upper
// bound, kept positive.
template <class Real>
Real positive_par(Real par, Real paru) {
  return select(par == 0.0, nan_max(filled<Real>(kMinNormal), 0.001 * paru), par);
}

// Whether the damped solve just made ends the search: its step within a
// tenth of delta, or the step shrinking while below delta with no lower
// bound (a singular R).
template <class Real>
auto par_search_done(Real fp, Real fp_prev, Real parl, Real delta) {
  return (abs(fp) <= kDeltaTolerance * delta) | ((parl == 0.0) & (fp <= fp_prev) & (fp_prev < 0.0));
}

// The bounds narrowed by the last solve's side of delta, and the next par.
template <class Real>
void next_par(Real fp, Real parc, Real& par, Real& parl, Real& paru) {
  parl = select(fp > 0.0, nan_max(parl, par), parl);
  paru = select(fp < 0.0, nan_min(paru, par), paru);
  par = nan_max(parl, par + parc);
}
