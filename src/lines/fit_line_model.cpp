#include "lines/fit_line_model.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "gaussian/gaussian_solver_setup.hpp"
#include "solver/covariance.hpp"
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

LineSolverStart line_solver_start(const LineLayout& layout, const LineStart& start) {
  LineSolverStart out;
  for (std::size_t j = 0; j < layout.solver_count(); ++j) {
    const std::size_t p = layout.param_of(j);
    const auto initial = static_cast<double>(start.initial[p]);
    if (layout.model().fixed[p]) {
      out.constraints[j].fixed = true;
      out.values[j] = initial;
      continue;
    }
    const auto lower = static_cast<double>(start.lower[p]);
    const auto upper = static_cast<double>(start.upper[p]);
    // A start outside its bounds is moved onto the nearer bound, as the
    // Gaussian fit does; an infinite bound is no bound.
    out.values[j] = std::min(std::max(initial, lower), upper);
    out.constraints[j] = analytic_constraint(lower, upper);
  }
  return out;
}

std::optional<LineFit> line_fit_before_solving(const LineLayout& layout, std::size_t samples) {
  if (samples >= layout.free_count()) return std::nullopt;
  LineFit out;
  out.samples = samples;
  out.nfree = layout.free_count();
  out.flag = LineFlag::TooFewSamples;
  return out;
}

LineFit converged_line_fit(const LineLayout& layout, std::span<const double> solver_params,
                           std::span<const double> solver_errors, double bestnorm,
                           std::size_t samples) {
  LineFit out;
  out.samples = samples;
  out.nfree = layout.free_count();
  layout.expand(solver_params, out.params);
  for (std::size_t p = 0; p < layout.param_count(); ++p) {
    if (!layout.tied(p)) {
      out.errors[p] = solver_errors[static_cast<std::size_t>(layout.solver_of(p))];
      continue;
    }
    const std::size_t ref = layout.reference_of(p);
    const double ref_error = solver_errors[static_cast<std::size_t>(layout.solver_of(ref))];
    out.errors[p] =
        p % 3 == 0
            ? std::fabs(static_cast<double>(layout.model().ties[p / 3].amplitude_ratio)) * ref_error
            : ref_error;
  }
  out.chi2 = bestnorm;
  out.flag = LineFlag::Success;
  return out;
}

LineFit unconverged_line_fit(const LineLayout& layout, std::size_t samples) {
  LineFit out;
  out.samples = samples;
  out.nfree = layout.free_count();
  return out;
}

void free_solver_problem(const LineLayout& layout, const LineStart& start,
                         const LineSolverStart& solver_start,
                         std::span<solver::ParamConstraint> constraints, std::span<double> x) {
  std::size_t free = 0;
  for (std::size_t j = 0; j < layout.solver_count(); ++j) {
    const std::size_t p = layout.param_of(j);
    if (layout.model().fixed[p]) continue;
    solver::ParamConstraint c = solver_start.constraints[j];
    c.has_lower = true;
    c.has_upper = true;
    c.lower = static_cast<double>(start.lower[p]);
    c.upper = static_cast<double>(start.upper[p]);
    constraints[free] = c;
    x[free] = solver_start.values[j];
    ++free;
  }
}

LineFit line_fit_from_factor(const LineLayout& layout, double covtol,
                             const LineSolverStart& solver_start, std::span<const double> free_x,
                             std::span<const double> r, std::span<const std::size_t> ipvt,
                             double bestnorm, std::size_t samples) {
  const std::size_t n = layout.free_count();
  // R's upper triangle into the column-major block the covariance reads.
  std::array<double, kMaxParams * kMaxParams> block{};
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i <= j; ++i) block[i + n * j] = r[i * n + j];
  }
  std::array<double, kMaxParams> scratch{};
  solver::covariance(n, block, n, ipvt, covtol, scratch);

  std::array<double, kMaxParams> values = solver_start.values;
  std::array<double, kMaxParams> errors{};
  std::size_t free = 0;
  for (std::size_t j = 0; j < layout.solver_count(); ++j) {
    if (layout.model().fixed[layout.param_of(j)]) continue;
    values[j] = free_x[free];
    // As at the end of `solve`: a variance rounded to zero or below gives 0.
    const double variance = block[free + n * free];
    if (variance > 0) errors[j] = std::sqrt(variance);
    ++free;
  }
  return converged_line_fit(layout, std::span<const double>(values.data(), layout.solver_count()),
                            errors, bestnorm, samples);
}

LineFit LineFitter::fit(std::span<const float> x, std::span<const float> y,
                        std::span<const float> error, const LineStart& start) {
  if (x.size() > scratch_.capacity()) {
    throw std::logic_error("a line fit's window is longer than its storage");
  }
  if (std::optional<LineFit> early = line_fit_before_solving(layout_, x.size())) return *early;

  const std::size_t nsolver = layout_.solver_count();
  LineSolverStart problem = line_solver_start(layout_, start);
  LineResiduals model(layout_, x, y, error, scratch_);
  const std::span<double> params(problem.values.data(), nsolver);
  const auto run = solver::solve(
      model, config_, std::span<const solver::ParamConstraint>(problem.constraints.data(), nsolver),
      params, {}, std::as_writable_bytes(std::span(workspace_.get(), workspace_doubles_)));
  if (!run || !counts_as_converged(run->status)) return unconverged_line_fit(layout_, x.size());
  return converged_line_fit(layout_, params, run->xerror, run->bestnorm, x.size());
}

}  // namespace quillet::lines
