#include "gaussian/fit_bounded_gaussian.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "gaussian/gaussian_residuals.hpp"
#include "gaussian/gaussian_uncertainties.hpp"
#include "solver/solver.hpp"

namespace quillet {
namespace {

bool all_finite(std::span<const float> values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

bool tolerance_ok(float tol) { return std::isfinite(tol) && tol > 0.0f; }

// The spectrum fit builds its problems itself, so the core checks again,
// silently: a problem that could not be fitted sensibly yields nothing.
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

bool counts_as_converged(solver::SolverStatus status) {
  using enum solver::SolverStatus;
  switch (status) {
    case FtolReached:
    case XtolReached:
    case FtolXtolReached:
    case GtolReached:
    case FtolTooSmall:
    case XtolTooSmall:
    case GtolTooSmall:
      return true;
    case MaxIterReached:
      return false;
  }
  return false;
}

// Windows of a spectrum fit hold a few dozen samples; their whole solver
// storage fits in this many bytes on the stack, so such a fit allocates
// nothing. Larger problems let the solver allocate its one block.
constexpr std::size_t kStackWorkspaceBytes = 16 * 1024;

}  // namespace

std::optional<GaussianFit> fit_bounded_gaussian(const BoundedGaussianProblem& problem) {
  if (!is_usable(problem)) return std::nullopt;

  std::array<double, 3> params{};
  std::array<solver::ParamConstraint, 3> constraints{};
  for (std::size_t k = 0; k < 3; ++k) {
    const double lower = static_cast<double>(problem.bounds[2 * k]);
    const double upper = static_cast<double>(problem.bounds[2 * k + 1]);
    // A start outside its bounds is moved onto the nearer bound.
    params[k] = std::min(std::max(static_cast<double>(problem.initial[k]), lower), upper);
    constraints[k] = solver::ParamConstraint{
        .fixed = false,
        .has_lower = true,
        .has_upper = true,
        .lower = lower,
        .upper = upper,
        .step = 0.0,
        .rel_step = 0.0,
        .side = solver::DerivSide::Analytic,
        .deriv_debug = false,
        .deriv_rel_tol = 0.0,
        .deriv_abs_tol = 0.0,
    };
  }

  const FitTolerances& tol = problem.tolerances;
  const solver::SolverConfig config{
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
  };

  GaussianResiduals model(problem.x, problem.y, problem.error);
  alignas(std::max_align_t) std::byte stack_workspace[kStackWorkspaceBytes];
  std::span<std::byte> lent;
  if (solver::workspace_bytes(problem.x.size(), params.size()) <= sizeof stack_workspace) {
    lent = stack_workspace;
  }
  const auto run = solver::solve(model, config, constraints, params, {}, lent);
  if (!run || !counts_as_converged(run->status)) return std::nullopt;

  const std::array<float, 3> errors =
      gaussian_uncertainties(problem.x, problem.error, params, run->bestnorm);
  return GaussianFit{
      .amplitude = static_cast<float>(params[0]),
      .centre = static_cast<float>(params[1]),
      .sigma = static_cast<float>(params[2]),
      .amplitude_error = errors[0],
      .centre_error = errors[1],
      .sigma_error = errors[2],
      .chi2 = static_cast<float>(run->bestnorm),
  };
}

}  // namespace quillet
