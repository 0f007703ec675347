#include "gaussian/gaussian_solver_setup.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillet {
namespace {

bool all_finite(std::span<const float> values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

bool tolerance_ok(float tol) { return std::isfinite(tol) && tol > 0.0f; }

bool is_usable(const BoundedGaussianProblem& p) {
  if (p.y.size() != p.x.size() || p.error.size() != p.x.size()) return false;
  const FitTolerances& tol = p.tolerances;
  if (!tolerance_ok(tol.xtol) || !tolerance_ok(tol.ftol) || !tolerance_ok(tol.gtol)) return false;
  if (tol.max_iter == 0) return false;
  if (!all_finite(p.initial) || !all_finite(p.bounds)) return false;
  for (std::size_t k = 0; k < 3; ++k) {
    if (!(p.bounds[2 * k] < p.bounds[2 * k + 1])) return false;
  }
  if (!(p.bounds[4] > 0.0f)) return false;
  if (!all_finite(p.x) || !all_finite(p.y)) return false;
  return std::all_of(p.error.begin(), p.error.end(),
                     [](float e) { return std::isfinite(e) && e > 0.0f; });
}

}  // namespace

solver::SolverConfig fit_solver_config(const FitTolerances& tol, bool covariance) {
  return solver::SolverConfig{
      .ftol = static_cast<double>(tol.ftol),
      .xtol = static_cast<double>(tol.xtol),
      .gtol = static_cast<double>(tol.gtol),
      .epsfcn = solver::kEpsilon,
      .step_factor = 100.0,
      .covtol = 1e-14,
      .max_iter = static_cast<std::uint64_t>(tol.max_iter),
      .max_fev = solver::MaxFev::defaults(),
      .user_scale = false,
      .no_finite_check = false,
      .no_covariance = !covariance,
  };
}

solver::ParamConstraint analytic_constraint(double lower, double upper) {
  return solver::ParamConstraint{
      .fixed = false,
      .has_lower = std::isfinite(lower),
      .has_upper = std::isfinite(upper),
      .lower = std::isfinite(lower) ? lower : 0.0,
      .upper = std::isfinite(upper) ? upper : 0.0,
      .step = 0.0,
      .rel_step = 0.0,
      .side = solver::DerivSide::Analytic,
      .deriv_debug = false,
      .deriv_rel_tol = 0.0,
      .deriv_abs_tol = 0.0,
  };
}

std::optional<GaussianSolverSetup> gaussian_solver_setup(const BoundedGaussianProblem& problem) {
  if (!is_usable(problem)) return std::nullopt;

  GaussianSolverSetup setup{};
  for (std::size_t k = 0; k < 3; ++k) {
    const double lower = static_cast<double>(problem.bounds[2 * k]);
    const double upper = static_cast<double>(problem.bounds[2 * k + 1]);
    // A start outside its bounds is moved onto the nearer bound.
    setup.start[k] = std::min(std::max(static_cast<double>(problem.initial[k]), lower), upper);
    setup.constraints[k] = analytic_constraint(lower, upper);
  }

  // The fit derives its uncertainties from the model itself.
  setup.config = fit_solver_config(problem.tolerances, /*covariance=*/false);
  return setup;
}

}  // namespace quillet
