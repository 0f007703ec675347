#pragma once

#include <array>
#include <optional>

#include "gaussian/fit_bounded_gaussian.hpp"
#include "solver/solver.hpp"

namespace quillet {

// How the fit core drives the solver for one bounded Gaussian fit: the
// starting vector (each initial value clamped into its bounds), one
// constraint per parameter (both limits active, derivatives from the model)
// and the configuration built from the caller's tolerances.
struct GaussianSolverSetup {
  std::array<double, 3> start;
  std::array<solver::ParamConstraint, 3> constraints;
  solver::SolverConfig config;
};

// The solver's configuration of a fit from the caller's tolerances: the
// settings every fit of the package shares (first step bound 100, the
// default evaluation limit, covariance rank cut 1e-14), with the covariance
// formed only when asked for.
solver::SolverConfig fit_solver_config(const FitTolerances& tolerances, bool covariance);

// A free parameter between `lower` and `upper` whose derivatives the model
// supplies; an infinite bound is no limit (the Gaussian fit's are finite,
// so both of its limits are active).
solver::ParamConstraint analytic_constraint(double lower, double upper);

// Nothing when the problem is unusable: lengths differ, a tolerance is not
// finite and positive, max_iter is 0, an initial value or bound is not
// finite, a bound pair is not increasing, the sigma bound is not positive,
// or a sample is not finite (or its error not positive). The spectrum fit
// builds its problems itself and relies on this silent re-check.
std::optional<GaussianSolverSetup> gaussian_solver_setup(const BoundedGaussianProblem& problem);

}  // namespace quillet
