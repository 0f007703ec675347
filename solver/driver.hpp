// `solve`, declared in solver.hpp: the run as a sequence of model
// evaluations and the steps between them (driver_steps.hpp).
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <utility>

#include "solver/driver_steps.hpp"
#include "solver/finish_solve.hpp"
#include "solver/jacobian.hpp"
#include "solver/run_state.hpp"
#include "solver/solver.hpp"

namespace quillet::solver {

template <ResidualModel Model>
std::expected<SolverResult, SolverError> solve(Model& model, const SolverConfig& config,
                                               std::span<const ParamConstraint> constraints,
                                               std::span<double> xall,
                                               std::span<const double> scale,
                                               std::span<std::byte> lent) {
  const auto m = static_cast<std::size_t>(model.residual_count());
  if (const auto refused = refuse_input(m, config, constraints, xall, scale)) {
    return std::unexpected(*refused);
  }

  RunState s = make_run_state(m, constraints, lent);
  begin_run(s, config, xall, scale);
  model.evaluate(std::span<const double>(xall), s.fvec);
  s.nfev += 1;
  if (!measure_start(s)) return std::unexpected(SolverError::NonFinite);

  while (s.status == 0) {
    // A fresh Jacobian at the last accepted point.
    for (std::size_t j = 0; j < s.nfree; ++j) s.xnew[s.ifree[j]] = s.x[j];
    compute_jacobian(model, s, config.epsfcn);
    if (!factor_jacobian(s, config)) return std::unexpected(SolverError::NonFinite);

    // Trial steps on this Jacobian until one asks for a new one or the run ends.
    while (s.status == 0) {
      const TrialStep trial = propose_step(s);
      model.evaluate(std::span<const double>(s.xnew), s.wa4);
      s.nfev += 1;
      if (judge_step(s, config, trial)) break;
    }
  }
  return finish_solve(std::move(s), config, constraints, xall);
}

}  // namespace quillet::solver
