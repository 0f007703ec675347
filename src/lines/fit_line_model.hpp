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
