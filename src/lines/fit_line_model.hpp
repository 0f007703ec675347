// The bounded fit of a line model to one window's samples.
//
// Uncertainties are the square roots of the diagonal of the solver's
// covariance (J^T J)^-1, not scaled by the reduced chi-square: the
// residuals are already divided by each sample's noise, so these are the
// errors the noise itself implies. A caller who trusts the fit more than the
// noise multiplies them by sqrt(reduced chi-square). The solver forms the
// covariance from the Jacobian of its last outer iteration, and gives a
// parameter resting on a limit (with its gradient pointing out) an error of
// 0. A tied parameter takes its reference's error (times |ratio| for an
// amplitude); a fixed one has error 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "gaussian/fit_bounded_gaussian.hpp"
#include "lines/line_model.hpp"
#include "lines/line_residuals.hpp"
#include "solver/solver_types.hpp"

namespace quillet::lines {

// How a row's fit ended. The numbers are what result rows store: 0 and 2
// are the Gaussian fit's own flags, 3 is new.
enum class LineFlag : std::uint8_t {
  Success = 0,
  NoConvergence = 2,  // the solver stopped at its limits, or refused the problem
  TooFewSamples = 3,  // fewer valid samples than free parameters (an empty window included)
};

// One row's starting values and bounds, one per model parameter (tied ones
// are not read). An infinite bound is no bound; a start outside its bounds
// is moved onto the nearer one. Fixed parameters keep their start and
// ignore their bounds.
struct LineStart {
  std::span<const float> initial;
  std::span<const float> lower;
  std::span<const float> upper;
};

struct LineFit {
  LineFlag flag = LineFlag::NoConvergence;
  std::array<double, kMaxParams> params{};  // model parameters (on success)
  std::array<double, kMaxParams> errors{};
  double chi2 = 0.0;  // the solver's final sum of squared residuals
  std::size_t samples = 0;
  std::size_t nfree = 0;
};

// One row's problem as the solver takes it, solver parameter by solver
// parameter: the starting values (a start outside its bounds moved onto the
// nearer bound; fixed parameters at their start) and the constraints.
struct LineSolverStart {
  std::array<solver::ParamConstraint, kMaxParams> constraints{};
  std::array<double, kMaxParams> values{};
};

LineSolverStart line_solver_start(const LineLayout& layout, const LineStart& start);

// The outcome of a row fitted over `samples` valid samples that is known
// before the solver runs (too few samples for the free parameters), or
// nothing when the solver has to run.
std::optional<LineFit> line_fit_before_solving(const LineLayout& layout, std::size_t samples);

// The successful fit from the solver's final parameters and their one-sigma
// errors (one per solver parameter, 0 for fixed ones) and its bestnorm:
// model parameters expanded, tied ones' errors taken from their references.
LineFit converged_line_fit(const LineLayout& layout, std::span<const double> solver_params,
                           std::span<const double> solver_errors, double bestnorm,
                           std::size_t samples);

// The outcome of a row whose run the solver refused or stopped at its limits.
LineFit unconverged_line_fit(const LineLayout& layout, std::size_t samples);

// The problem over the free parameters alone, for a solver that runs every
// parameter it is given (the lanes): their constraints, with both limits
// active (an infinite bound as an active infinite limit, which no step can
// meet, so the run makes the very steps it makes without that limit), and
// their starting values. `constraints` and `x` hold free_count() entries.
void free_solver_problem(const LineLayout& layout, const LineStart& start,
                         const LineSolverStart& solver_start,
                         std::span<solver::ParamConstraint> constraints, std::span<double> x);

// The successful fit of a run over the free parameters alone: their final
// values `free_x`, the last factorisation's R (`r`, free_count() squared by
// rows; the upper triangle is read) and column order `ipvt`, and bestnorm;
// the fixed parameters at their values in `solver_start`. The errors come
// from R as `solve` forms them, with rank cut `covtol`.
LineFit line_fit_from_factor(const LineLayout& layout, double covtol,
                             const LineSolverStart& solver_start, std::span<const double> free_x,
                             std::span<const double> r, std::span<const std::size_t> ipvt,
                             double bestnorm, std::size_t samples);

// Fits the rows one thread takes, one at a time, reusing its storage: sized
// once for windows of up to `capacity` samples, so that no row's fit
// allocates.
class LineFitter {
 public:
  LineFitter(const LineLayout& layout, const FitTolerances& tolerances, std::size_t capacity);

  // The fit of one row over its valid samples (finite, error > 0; at most
  // `capacity` of them, else a fault is thrown). Every outcome is in the
  // flag.
  LineFit fit(std::span<const float> x, std::span<const float> y, std::span<const float> error,
              const LineStart& start);

 private:
  const LineLayout& layout_;
  solver::SolverConfig config_;
  LineScratch scratch_;
  std::size_t workspace_doubles_;
  std::unique_ptr<double[]> workspace_;  // the solver's block, lent to every run
};

}  // namespace quillet::lines
