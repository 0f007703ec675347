// The steps of a run that do not call the model; `solve` (solver.hpp) strings
// them together around its model evaluations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "solver/run_state.hpp"
#include "solver/solver_types.hpp"

namespace quillet::solver {

// The input checks, in the order that decides which error a caller sees when
// several apply: NoResiduals; BadInput for ftol, xtol, gtol, step_factor
// (<= 0; NaN passes), then for user_scale without npar scale factors, then
// for constraints and xall of different lengths; NoFreeParams; per
// parameter, InitialOutsideLimits (fixed ones too) before
// InconsistentLimits (free ones only); TooFewResiduals.
std::optional<SolverError> refuse_input(std::size_t m, const SolverConfig& config,
                                        std::span<const ParamConstraint> constraints,
                                        std::span<const double> xall,
                                        std::span<const double> scale);

// The evaluation limit as a number, 0 meaning none.
std::uint64_t resolve_max_fev(MaxFev max_fev, std::size_t nfree);

// Before the first evaluation: the evaluation limit, the caller's scale
// factors (with user_scale), and the starting point in `xnew` and `x`.
void begin_run(RunState& s, const SolverConfig& config, std::span<const double> xall,
               std::span<const double> scale);

// After the first evaluation (residuals in `fvec`): fnorm and orignorm.
// False when the starting residual norm is not finite: no step could ever
// be judged against it.
bool measure_start(RunState& s);

// Steps from a fresh Jacobian to the first trial: freezes the columns of
// parameters resting on an active limit with outward gradient, factors,
// scales (first iteration), forms Q^T fvec and runs the gradient test.
// Sets `status` when the run ends here (gtol, or max_iter 0). False when
// the factored Jacobian holds a non-finite entry (unless no_finite_check).
bool factor_jacobian(RunState& s, const SolverConfig& config);

// What the judgement of a trial needs from its making.
struct TrialStep {
  double alpha;  // factor by which the limits shortened the step
  double pnorm;  // scaled length of the shortened step
};

// Asks lm_parameter for a step within `delta`, shortens it so that no free
// parameter crosses an active limit (a parameter meeting its limit lands on
// it exactly), and puts the trial point into `xnew`.
TrialStep propose_step(RunState& s);

// With the trial residuals in `trial_fvec`: compares the actual and predicted
// reductions, updates delta and par, accepts the point when the ratio is at
// least 1e-4, and runs the convergence and termination tests (setting
// `status`). True when the next step needs a fresh Jacobian, false when it
// retries on the same one.
bool judge_step(RunState& s, const SolverConfig& config, const TrialStep& trial);

}  // namespace quillet::solver
