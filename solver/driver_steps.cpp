#include "solver/driver_steps.hpp"

#include <algorithm>
#include <cmath>

#include "solver/euclid_norm.hpp"
#include "solver/lm_parameter.hpp"
#include "solver/nan_minmax.hpp"
#include "solver/non_finite.hpp"
#include "solver/qr_factor.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/step_constants.hpp"

namespace quillet::solver {
#include "solver/step_rules.hpp"

namespace {

// Every free parameter's Jacobian column, zeroed where the parameter rests
// on an active limit with outward gradient (freeze_if_outward).
void freeze_outward_columns(RunState& s) {
  const std::size_t m = s.m;
  for (std::size_t j = 0; j < s.nfree; ++j) {
    const bool at_lower = s.has_lower[j] && s.lower[j] == s.x[j];
    const bool at_upper = s.has_upper[j] && s.upper[j] == s.x[j];
    freeze_if_outward(s.fvec.data(), s.fjac.data() + j * m, m, m, at_lower, at_upper);
  }
}

// First iteration only: scale each parameter by its column norm (1
// for a zero column), and start the step bound in proportion to the scaled
// starting point.
void set_initial_scale(RunState& s, const SolverConfig& config) {
  const std::span<const double> acnorm = s.acnorm;
  if (!config.user_scale) {
    for (std::size_t j = 0; j < s.nfree; ++j) {
      s.diag[s.ifree[j]] = scale_of_column(acnorm[j]);
    }
  }
  for (std::size_t j = 0; j < s.nfree; ++j) s.scaled_start[j] = s.diag[s.ifree[j]] * s.x[j];
  s.xnorm = euclid_norm(s.scaled_start);
  s.delta = initial_step_bound(config.step_factor, s.xnorm);
}

// The gradient test's measure: the largest cosine between the residuals and a Jacobian column.
double gradient_norm(const RunState& s) {
  // A NaN fnorm counts as nonzero.
  if (s.fnorm == 0) return 0.0;
  return gradient_measure([&](std::size_t i, std::size_t j) { return s.fjac[i + s.m * j]; },
                          [&](std::size_t j) { return s.acnorm[s.ipvt[j]]; }, s.qtf.data(), s.fnorm,
                          s.nfree);
}

// With active limits: shortens the step in `lm_step` by the common
// factor that brings the first parameter to meet a limit exactly onto it,
// and writes the trial free values into `trial_x`. Returns the factor.
double limit_step(RunState& s) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  Shortening<double, bool, std::size_t> shortening{1.0, kNone, false};
  for (std::size_t j = 0; j < s.nfree; ++j) {
    shorten_for(s.x[j], s.lower[j], s.upper[j], s.has_lower[j], s.has_upper[j], j, s.lm_step[j],
                shortening);
  }
  for (std::size_t j = 0; j < s.nfree; ++j) {
    s.trial_x[j] = shortened_trial(s.x[j], s.lower[j], s.upper[j], s.has_lower[j], s.has_upper[j],
                                   j, s.lm_step[j], shortening);
  }
  return shortening.alpha;
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
  qr_factor_qtf(s.m, s.nfree, s.fjac, s.ipvt, s.rdiag, s.acnorm, s.refnorm, s.column_squares,
                s.fvec, s.full_qtf, s.qtf);
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
  const std::size_t n = s.nfree;
  const TrialJudging<double, std::uint64_t> judging{
      .fnorm = s.fnorm,
      .fnorm1 = s.fnorm1,
      .xnorm = s.xnorm,
      .delta = s.delta,
      .par = s.par,
      .iter = s.iter,
      .gnorm = s.gnorm,
      .ftol = config.ftol,
      .xtol = config.xtol,
      .nfev = s.nfev,
      .maxfev = s.maxfev,
      .max_iter = config.max_iter,
      .x = s.x.data(),
      .fvec = s.fvec.data(),
      .trial_x = s.trial_x.data(),
      .trial_fvec = s.trial_fvec.data(),
      .step = s.lm_step.data(),
      .r_step = s.r_step.data(),
      .scaled_x = s.scaled_x.data(),
  };
  std::int64_t code = 0;
  const bool fresh_jacobian = judge_trial(
      true, judging, [&](std::size_t i, std::size_t j) { return s.fjac[i + s.m * j]; },
      PivotOrder{s.ipvt.data(), n}, [&](std::size_t j) { return s.diag[s.ifree[j]]; }, trial.alpha,
      trial.pnorm, n, s.m,
      [&](const double* v, bool) {
        return euclid_norm({v, n});
      },
      [&](const double* v, bool) {
        return euclid_norm({v, s.m});
      },
      code);
  s.status = code == 0 ? std::nullopt : std::optional(static_cast<SolverStatus>(code));
  return fresh_jacobian;
}

}  // namespace quillet::solver
