#include "solver/driver_steps.hpp"

#include <algorithm>
#include <cmath>

#include "solver/euclid_norm.hpp"
#include "solver/lm_parameter.hpp"
#include "solver/nan_minmax.hpp"
#include "solver/non_finite.hpp"
#include "solver/qr_factor.hpp"
#include "solver/step_constants.hpp"

namespace quillet::solver {
namespace {

// A parameter resting on an active limit whose gradient points
// outward would only be pushed back onto the limit; zeroing its column
// keeps it out of this Jacobian's step.
void freeze_outward_columns(RunState& s) {
  const std::size_t m = s.m;
  for (std::size_t j = 0; j < s.nfree; ++j) {
    const bool at_lower = s.has_lower[j] && s.lower[j] == s.x[j];
    const bool at_upper = s.has_upper[j] && s.upper[j] == s.x[j];
    if (!at_lower && !at_upper) continue;
    std::span<double> column = s.fjac.subspan(j * m, m);
    double grad = 0.0;
    for (std::size_t i = 0; i < m; ++i) grad += s.fvec[i] * column[i];
    if ((at_lower && grad > 0) || (at_upper && grad < 0)) std::ranges::fill(column, 0.0);
  }
}

// First iteration only: scale each parameter by its column norm (1
// for a zero column), and start the step bound in proportion to the scaled
// starting point.
void set_initial_scale(RunState& s, const SolverConfig& config) {
  const std::span<const double> acnorm = s.acnorm;
  if (!config.user_scale) {
    for (std::size_t j = 0; j < s.nfree; ++j) {
      s.diag[s.ifree[j]] = acnorm[j] == 0 ? 1.0 : acnorm[j];
    }
  }
  for (std::size_t j = 0; j < s.nfree; ++j) s.scaled_start[j] = s.diag[s.ifree[j]] * s.x[j];
  s.xnorm = euclid_norm(s.scaled_start);
  s.delta = config.step_factor * s.xnorm;
  if (s.delta == 0) s.delta = config.step_factor;
}

// The gradient test's measure: the largest cosine between the residuals and a Jacobian column.
double gradient_norm(const RunState& s) {
  const std::span<const double> acnorm = s.acnorm;
  double gnorm = 0.0;
  // A NaN fnorm counts as nonzero.
  if (s.fnorm == 0) return gnorm;
  for (std::size_t j = 0; j < s.nfree; ++j) {
    const double colnorm = acnorm[s.ipvt[j]];
    if (colnorm == 0) continue;
    double sum = 0.0;
    for (std::size_t i = 0; i <= j; ++i) sum += s.fjac[i + s.m * j] * (s.qtf[i] / s.fnorm);
    gnorm = nan_max(gnorm, std::fabs(sum / colnorm));
  }
  return gnorm;
}

// With active limits: shortens the step in `lm_step` by the common
// factor that brings the first parameter to meet a limit exactly onto it,
// and writes the trial free values into `trial_x`. Returns the factor.
double limit_step(RunState& s) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  double alpha = 1.0;
  std::size_t limiting = kNone;
  bool limiting_upper = false;
  for (std::size_t j = 0; j < s.nfree; ++j) {
    const bool pegged_low = s.has_lower[j] && s.x[j] <= s.lower[j];
    const bool pegged_high = s.has_upper[j] && s.x[j] >= s.upper[j];
    const bool moves = std::fabs(s.lm_step[j]) > kEpsilon;
    if (pegged_low && s.lm_step[j] < 0) s.lm_step[j] = 0.0;
    if (pegged_high && s.lm_step[j] > 0) s.lm_step[j] = 0.0;
    if (moves && s.has_lower[j] && s.x[j] + s.lm_step[j] < s.lower[j]) {
      const double t = (s.lower[j] - s.x[j]) / s.lm_step[j];
      if (t < alpha) {
        alpha = t;
        limiting = j;
        limiting_upper = false;
      }
    }
    if (moves && s.has_upper[j] && s.x[j] + s.lm_step[j] > s.upper[j]) {
      const double t = (s.upper[j] - s.x[j]) / s.lm_step[j];
      if (t < alpha) {
        alpha = t;
        limiting = j;
        limiting_upper = true;
      }
    }
  }

  for (std::size_t j = 0; j < s.nfree; ++j) {
    s.lm_step[j] = s.lm_step[j] * alpha;
    s.trial_x[j] = s.x[j] + s.lm_step[j];
    if (j == limiting) s.trial_x[j] = limiting_upper ? s.upper[j] : s.lower[j];
    if (s.has_upper[j]) {
      const double u = s.upper[j];
      const double f = u >= 0 ? kBelowOne : kAboveOne;
      const double g = u == 0 ? kEpsilon : 0.0;
      if (s.trial_x[j] >= u * f - g) s.trial_x[j] = u;
    }
    if (s.has_lower[j]) {
      const double l = s.lower[j];
      const double f = l >= 0 ? kAboveOne : kBelowOne;
      const double g = l == 0 ? kEpsilon : 0.0;
      if (s.trial_x[j] <= l * f + g) s.trial_x[j] = l;
    }
  }
  return alpha;
}

// Shrinks the step bound after a poor step, grows it after a good one.
void update_step_bound(RunState& s, double actred, double dirder, double ratio, double pnorm) {
  if (ratio <= kPoorRatio) {
    double temp = actred >= 0 ? kHalfStep : dirder * kHalfStep / (dirder + kHalfStep * actred);
    if (kTenth * s.fnorm1 >= s.fnorm || temp < kTenth) temp = kTenth;
    s.delta = temp * nan_min(s.delta, pnorm / kTenth);
    s.par = s.par / temp;
  } else if (s.par == 0 || ratio >= kGoodRatio) {
    s.delta = pnorm / kHalfStep;
    s.par = kHalfStep * s.par;
  }
}

// The convergence tests, then the termination tests; among the
// termination tests a later one overrides an earlier. Nothing while the
// run goes on.
std::optional<SolverStatus> stop_status(const RunState& s, const SolverConfig& config,
                                        double actred, double prered, double ratio) {
  using enum SolverStatus;
  const bool ftol_met =
      std::fabs(actred) <= config.ftol && prered <= config.ftol && 0.5 * ratio <= 1;
  const bool xtol_met = s.delta <= config.xtol * s.xnorm;
  if (ftol_met && xtol_met) return FtolXtolReached;
  if (xtol_met) return XtolReached;
  if (ftol_met) return FtolReached;

  std::optional<SolverStatus> status;
  if (s.maxfev > 0 && s.nfev >= s.maxfev) status = MaxIterReached;
  if (s.iter >= config.max_iter) status = MaxIterReached;
  if (std::fabs(actred) <= kEpsilon && prered <= kEpsilon && 0.5 * ratio <= 1) {
    status = FtolTooSmall;
  }
  if (s.delta <= kEpsilon * s.xnorm) status = XtolTooSmall;
  if (s.gnorm <= kEpsilon) status = GtolTooSmall;
  return status;
}

}  // namespace

std::optional<SolverError> refuse_input(std::size_t m, const SolverConfig& config,
                                        std::span<const ParamConstraint> constraints,
                                        std::span<const double> xall,
                                        std::span<const double> scale) {
  if (m == 0) return SolverError::NoResiduals;
  for (double positive : {config.ftol, config.xtol, config.gtol, config.step_factor}) {
    if (positive <= 0) return SolverError::BadInput;
  }
  const std::size_t npar = constraints.size();
  if (config.user_scale && scale.size() != npar) return SolverError::BadInput;
  if (xall.size() != npar) return SolverError::BadInput;

  const auto nfree = static_cast<std::size_t>(
      std::ranges::count_if(constraints, [](const ParamConstraint& c) { return !c.fixed; }));
  if (nfree == 0) return SolverError::NoFreeParams;

  for (std::size_t p = 0; p < npar; ++p) {
    const ParamConstraint& c = constraints[p];
    if (c.has_lower && c.lower > xall[p]) return SolverError::InitialOutsideLimits;
    if (c.has_upper && xall[p] > c.upper) return SolverError::InitialOutsideLimits;
    if (c.has_upper && c.has_lower && !c.fixed && c.lower >= c.upper) {
      return SolverError::InconsistentLimits;
    }
  }

  if (m < nfree) return SolverError::TooFewResiduals;
  return std::nullopt;
}

std::uint64_t resolve_max_fev(MaxFev max_fev, std::size_t nfree) {
  const std::uint64_t by_default = 200 * (static_cast<std::uint64_t>(nfree) + 1);
  switch (max_fev.kind) {
    case MaxFev::Kind::Unlimited:
      return 0;
    case MaxFev::Kind::Limit:
      return max_fev.limit == 0 ? by_default : max_fev.limit;
    case MaxFev::Kind::Default:
      break;
  }
  return by_default;
}

void begin_run(RunState& s, const SolverConfig& config, std::span<const double> xall,
               std::span<const double> scale) {
  s.maxfev = resolve_max_fev(config.max_fev, s.nfree);
  if (config.user_scale) std::ranges::copy(scale, s.diag.begin());
  std::ranges::copy(xall, s.xnew.begin());
  for (std::size_t j = 0; j < s.nfree; ++j) s.x[j] = xall[s.ifree[j]];
}

bool measure_start(RunState& s) {
  s.fnorm = euclid_norm(s.fvec);
  s.orignorm = s.fnorm * s.fnorm;
  return std::isfinite(s.fnorm);
}

bool factor_jacobian(RunState& s, const SolverConfig& config) {
  if (s.qanylim) freeze_outward_columns(s);
  // Q^T fvec is formed in full along the way (the scaling below reads
  // nothing of the factorisation but acnorm, so it may follow all of it).
  qr_factor_qtf(s.m, s.nfree, s.fjac, s.ipvt, s.rdiag, s.acnorm, s.refnorm, s.fvec, s.full_qtf,
                s.qtf);
  if (s.iter == 1) set_initial_scale(s, config);
  if (!config.no_finite_check && has_non_finite(s.fjac)) return false;

  s.gnorm = gradient_norm(s);
  if (s.gnorm <= config.gtol) {
    s.status = SolverStatus::GtolReached;
  } else if (config.max_iter == 0) {
    s.status = SolverStatus::MaxIterReached;
  } else if (!config.user_scale) {
    for (std::size_t j = 0; j < s.nfree; ++j) {
      double& d = s.diag[s.ifree[j]];
      d = nan_max(d, s.acnorm[j]);
    }
  }
  return true;
}

TrialStep propose_step(RunState& s) {
  lm_parameter(s.nfree, s.fjac, s.m, s.ipvt, s.ifree, s.diag, s.qtf, s.delta, s.par, s.lm_step,
               s.sdiag, s.lm_w1, s.lm_w2);
  for (double& component : s.lm_step) component = -component;

  double alpha = 1.0;
  if (s.qanylim) {
    alpha = limit_step(s);
  } else {
    for (std::size_t j = 0; j < s.nfree; ++j) s.trial_x[j] = s.x[j] + s.lm_step[j];
  }

  for (std::size_t j = 0; j < s.nfree; ++j) s.scaled_step[j] = s.diag[s.ifree[j]] * s.lm_step[j];
  const double pnorm = euclid_norm(s.scaled_step);
  // The first step also tightens the bound to its own length.
  if (s.iter == 1) s.delta = nan_min(s.delta, pnorm);

  for (std::size_t j = 0; j < s.nfree; ++j) s.xnew[s.ifree[j]] = s.trial_x[j];
  return {alpha, pnorm};
}

bool judge_step(RunState& s, const SolverConfig& config, const TrialStep& trial) {
  const std::size_t m = s.m;
  s.fnorm1 = euclid_norm(s.trial_fvec);

  // A trial ten times worse (or NaN) counts as no reduction at all.
  double actred = -1.0;
  if (kTenth * s.fnorm1 < s.fnorm) actred = 1.0 - (s.fnorm1 / s.fnorm) * (s.fnorm1 / s.fnorm);

  // R times the step, in pivoted order.
  std::ranges::fill(s.r_step, 0.0);
  for (std::size_t j = 0; j < s.nfree; ++j) {
    const double t = s.lm_step[s.ipvt[j]];
    for (std::size_t i = 0; i <= j; ++i) s.r_step[i] += s.fjac[i + m * j] * t;
  }
  // lm_step already carries alpha; t1 applies it once more. Kept so: the
  // solver's results are defined with this predicted reduction.
  const double t1 = euclid_norm(s.r_step) * trial.alpha / s.fnorm;
  const double t2 = std::sqrt(trial.alpha * s.par) * trial.pnorm / s.fnorm;
  const double prered = t1 * t1 + t2 * t2 / 0.5;
  const double dirder = -(t1 * t1 + t2 * t2);
  const double ratio = prered != 0 ? actred / prered : 0.0;

  update_step_bound(s, actred, dirder, ratio, trial.pnorm);

  if (ratio >= kAcceptRatio) {
    for (std::size_t j = 0; j < s.nfree; ++j) {
      s.x[j] = s.trial_x[j];
      s.scaled_x[j] = s.diag[s.ifree[j]] * s.x[j];
    }
    std::ranges::copy(s.trial_fvec, s.fvec.begin());
    s.xnorm = euclid_norm(s.scaled_x);
    s.fnorm = s.fnorm1;
    s.iter += 1;
  }

  s.status = stop_status(s, config, actred, prered, ratio);
  // A NaN ratio is not accepted, yet it asks for a fresh Jacobian too.
  return !(ratio < kAcceptRatio);
}

}  // namespace quillet::solver
