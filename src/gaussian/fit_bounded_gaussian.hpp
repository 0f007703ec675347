#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "solver/solver_types.hpp"

namespace quillet {

// The caller's solver settings.
struct FitTolerances {
  float xtol;
  float ftol;
  float gtol;
  std::int64_t max_iter;
};

// Everything one bounded fit needs. The sample views are borrowed.
struct BoundedGaussianProblem {
  std::span<const float> x;
  std::span<const float> y;
  std::span<const float> error;
  std::array<float, 3> initial;  // amplitude, centre, sigma
  std::array<float, 6> bounds;   // (lower, upper) per parameter, pair by pair
  FitTolerances tolerances;
};

// A converged fit: the solution, its uncertainties, and chi-square (not reduced).
struct GaussianFit {
  float amplitude;
  float centre;
  float sigma;
  float amplitude_error;
  float centre_error;
  float sigma_error;
  float chi2;
};

// Runs the bounded Levenberg–Marquardt fit of one Gaussian. Returns nothing
// when the problem is unusable (checked again here without messages), the
// solver refuses it, or the run stops at its iteration or evaluation limit.
// Never throws; reads only its views.
std::optional<GaussianFit> fit_bounded_gaussian(const BoundedGaussianProblem& problem);

// The solver's completion codes that count as a converged fit: all but
// MaxIterReached (the iteration or evaluation limit).
bool counts_as_converged(solver::SolverStatus status);

// A converged fit from the solver's solution, its uncertainties and bestnorm.
GaussianFit gaussian_fit(const std::array<double, 3>& params, const std::array<float, 3>& errors,
                         double bestnorm);

}  // namespace quillet
