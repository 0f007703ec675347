#include "gaussian/fit_bounded_gaussian.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "gaussian/gaussian_residuals.hpp"
#include "gaussian/gaussian_solver_setup.hpp"
#include "gaussian/gaussian_uncertainties.hpp"
#include "solver/solver.hpp"

namespace quillet {
namespace {

// Windows of a spectrum fit hold a few dozen samples; their whole solver
// storage fits in this many bytes on the stack (about 48 bytes a sample, so
// every window whose exponential terms the model remembers), and such a fit
// allocates nothing. Larger problems let the solver allocate its one block.
// Kept small because fits also run on threads with small stacks: Python lets
// a program give its threads as little as 32 KiB.
constexpr std::size_t kStackWorkspaceBytes = 8 * 1024;
static_assert(GaussianResiduals::kRememberedSamples * 48 + 1024 <= kStackWorkspaceBytes);

}  // namespace

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

GaussianFit gaussian_fit(const std::array<double, 3>& params, const std::array<float, 3>& errors,
                         double bestnorm) {
  return GaussianFit{
      .amplitude = static_cast<float>(params[0]),
      .centre = static_cast<float>(params[1]),
      .sigma = static_cast<float>(params[2]),
      .amplitude_error = errors[0],
      .centre_error = errors[1],
      .sigma_error = errors[2],
      .chi2 = static_cast<float>(bestnorm),
  };
}

std::optional<GaussianFit> fit_bounded_gaussian(const BoundedGaussianProblem& problem) {
  std::optional<GaussianSolverSetup> setup = gaussian_solver_setup(problem);
  if (!setup) return std::nullopt;
  std::array<double, 3>& params = setup->start;

  GaussianResiduals model(problem.x, problem.y, problem.error);
  alignas(std::max_align_t) std::byte stack_workspace[kStackWorkspaceBytes];
  std::span<std::byte> lent;
  if (solver::workspace_bytes(problem.x.size(), params.size()) <= sizeof stack_workspace) {
    lent = stack_workspace;
  }
  const auto run = solver::solve(model, setup->config, setup->constraints, params, {}, lent);
  if (!run || !counts_as_converged(run->status)) return std::nullopt;

  // The solution is usually the model's last point, whose exponential terms
  // it still holds.
  const GaussianResiduals::Terms terms = model.terms(params);
  const std::array<float, 3> errors =
      terms.z.empty() ? gaussian_uncertainties(problem.x, problem.error, params, run->bestnorm)
                      : gaussian_uncertainties(params, run->bestnorm, terms.w, terms.z, terms.g);
  return gaussian_fit(params, errors, run->bestnorm);
}

}  // namespace quillet
