#include "lines/fit_line_model.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "gaussian/gaussian_solver_setup.hpp"
#include "solver/solver.hpp"

namespace quillet::lines {

LineFitter::LineFitter(const LineLayout& layout, const FitTolerances& tolerances,
                       std::size_t capacity)
    : layout_(layout),
      config_(fit_solver_config(tolerances, /*covariance=*/true)),
      scratch_(layout.model().components, capacity),
      workspace_doubles_(
          (solver::workspace_bytes(capacity, layout.solver_count()) + sizeof(double) - 1) /
          sizeof(double)),
      workspace_(new double[workspace_doubles_]) {}

LineFit LineFitter::fit(std::span<const float> x, std::span<const float> y,
                        std::span<const float> error, const LineStart& start) {
  LineFit out;
  out.samples = x.size();
  out.nfree = layout_.free_count();
  if (x.size() > scratch_.capacity()) {
    throw std::logic_error("a line fit's window is longer than its storage");
  }
  if (x.size() < out.nfree) {
    out.flag = LineFlag::TooFewSamples;
    return out;
  }

  const std::size_t nsolver = layout_.solver_count();
  std::array<solver::ParamConstraint, kMaxParams> constraints{};
  std::array<double, kMaxParams> values{};
  for (std::size_t j = 0; j < nsolver; ++j) {
    const std::size_t p = layout_.param_of(j);
    const auto initial = static_cast<double>(start.initial[p]);
    if (layout_.model().fixed[p]) {
      constraints[j].fixed = true;
      values[j] = initial;
      continue;
    }
    const auto lower = static_cast<double>(start.lower[p]);
    const auto upper = static_cast<double>(start.upper[p]);
    // A start outside its bounds is moved onto the nearer bound, as the
    // Gaussian fit does; an infinite bound is no bound.
    values[j] = std::min(std::max(initial, lower), upper);
    constraints[j] = analytic_constraint(lower, upper);
  }

  LineResiduals model(layout_, x, y, error, scratch_);
  const std::span<double> params(values.data(), nsolver);
  const auto run = solver::solve(
      model, config_, std::span<const solver::ParamConstraint>(constraints.data(), nsolver), params,
      {}, std::as_writable_bytes(std::span(workspace_.get(), workspace_doubles_)));
  if (!run || !counts_as_converged(run->status)) return out;

  layout_.expand(params, out.params);
  for (std::size_t p = 0; p < layout_.param_count(); ++p) {
    if (!layout_.tied(p)) {
      out.errors[p] = run->xerror[static_cast<std::size_t>(layout_.solver_of(p))];
      continue;
    }
    const std::size_t ref = layout_.reference_of(p);
    const double ref_error = run->xerror[static_cast<std::size_t>(layout_.solver_of(ref))];
    out.errors[p] =
        p % 3 == 0 ? std::fabs(static_cast<double>(layout_.model().ties[p / 3].amplitude_ratio)) *
                         ref_error
                   : ref_error;
  }
  out.chi2 = run->bestnorm;
  out.flag = LineFlag::Success;
  return out;
}

}  // namespace quillet::lines
