// Bounded Levenberg–Marquardt least squares.
//
// `solve` minimises the sum of squares of m residuals r(p) over npar
// parameters p. Each parameter may be fixed, and may carry an active lower
// and/or upper limit. The iteration is MINPACK-1's trust-region
// Levenberg–Marquardt method with MPFIT's parameter-limit scheme: fixed
// parameters are left out, a parameter resting on a limit whose gradient
// points outward is frozen for that Jacobian, and every trial step is
// shortened so that no parameter crosses an active limit.
//
// Dependencies: the C++ standard library only. The solver knows nothing of
// the model it fits nor of Python.
//
// Memory: a run carves every work buffer, and the arrays of its result, out
// of one zero-filled block obtained at its start (or lent by the caller, see
// `workspace_bytes`). Nothing allocates while the run iterates, and the block
// is released on every exit.
//
// Threads: a run keeps no static or shared state. Any number of runs may
// execute at once on different threads, each with its own model.
//
// Records: the configuration, constraints, result, completion codes and
// error kinds are in solver_types.hpp, which the solver's internal headers
// include in place of this one.
//
// Floating point: results are reproducible to the bit. The library must be
// built with -ffp-contract=off and without -ffast-math; every sum runs in the
// documented index order.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <utility>

#include "solver/driver_steps.hpp"
#include "solver/finish_solve.hpp"
#include "solver/jacobian.hpp"
#include "solver/run_state.hpp"
#include "solver/solver_types.hpp"  // IWYU pragma: export

namespace quillet::solver {

// Runs the bounded Levenberg–Marquardt iteration from the starting point
// `xall` (npar values, one per constraint). On success `xall` holds the final
// parameters (fixed ones untouched); on any SolverError it is left unchanged.
//
// Input checks, in this order, before the model is first evaluated:
// NoResiduals; BadInput (ftol, xtol, gtol, step_factor; then user_scale
// without `scale`; then `xall` not one value per constraint); NoFreeParams;
// per parameter InitialOutsideLimits then InconsistentLimits;
// TooFewResiduals. A start whose residual norm is not finite ends the run
// with NonFinite right after that first evaluation.
//
// `scale` supplies the npar scale factors when `config.user_scale` is set.
// `lent` optionally lends the run its storage (see `workspace_bytes`).
template <ResidualModel Model>
std::expected<SolverResult, SolverError> solve(Model& model, const SolverConfig& config,
                                               std::span<const ParamConstraint> constraints,
                                               std::span<double> xall,
                                               std::span<const double> scale = {},
                                               std::span<std::byte> lent = {}) {
  const auto m = static_cast<std::size_t>(model.residual_count());
  if (const auto refused = refuse_input(m, config, constraints, xall, scale)) {
    return std::unexpected(*refused);
  }

  RunState s = make_run_state(m, constraints, lent);
  begin_run(s, config, xall, scale);
  model.evaluate(std::span<const double>(xall), s.fvec);
  s.nfev += 1;
  if (!measure_start(s)) return std::unexpected(SolverError::NonFinite);

  while (!s.status) {
    // A fresh Jacobian at the last accepted point.
    for (std::size_t j = 0; j < s.nfree; ++j) s.xnew[s.ifree[j]] = s.x[j];
    compute_jacobian(model, s, config.epsfcn);
    if (!factor_jacobian(s, config)) return std::unexpected(SolverError::NonFinite);

    // Trial steps on this Jacobian until one asks for a new one or the run ends.
    while (!s.status) {
      const TrialStep trial = propose_step(s);
      model.evaluate(std::span<const double>(s.xnew), s.trial_fvec);
      s.nfev += 1;
      if (judge_step(s, config, trial)) break;
    }
  }
  return finish_solve(std::move(s), config, constraints, xall);
}

}  // namespace quillet::solver
