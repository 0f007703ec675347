// The end of a run that reached the iteration.
#pragma once

#include <span>

#include "solver/run_state.hpp"
#include "solver/solver_types.hpp"

namespace quillet::solver {

// Builds the result of a run that ended with a status (in `state.status`):
// writes the free parameters back into `xall` (fixed entries untouched),
// counts the parameters resting exactly on an active limit, turns the last
// factor R into the covariance and the one-sigma errors, and forms bestnorm
// from the larger of the last accepted and the last trial residual norms
// (a NaN of the two ignored). Consumes the state: the result's arrays,
// `resid` being the run's own residual buffer, live in its storage.
SolverResult finish_solve(RunState&& state, const SolverConfig& config,
                          std::span<const ParamConstraint> constraints, std::span<double> xall);

}  // namespace quillet::solver
