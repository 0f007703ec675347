#include "gaussian/fit_gaussian_f32.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>

#include "gaussian/check_tolerances.hpp"
#include "gaussian/fit_bounded_gaussian.hpp"
#include "gaussian/reduced_chi2.hpp"

namespace quillet {
namespace {

std::unexpected<DomainError> fail(const char* message) {
  return std::unexpected(DomainError{message});
}

bool all_finite(std::span<const float> values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

}  // namespace

std::expected<FitResult, DomainError> fit_gaussian_f32(
    const ArrayView& x_view, const ArrayView& y_view, const ArrayView& error_view,
    const ArrayView& initial_view, const ArrayView& lower_view, const ArrayView& upper_view,
    float xtol, float ftol, float gtol, std::int64_t max_iter) {
  const auto x = x_view.flat();
  if (!x) return fail("x must be contiguous float32");
  const auto y = y_view.flat();
  if (!y) return fail("y must be contiguous float32");
  const auto error = error_view.flat();
  if (!error) return fail("error must be contiguous float32");
  const auto initial = initial_view.flat();
  if (!initial) return fail("initial must be contiguous float32");
  const auto lower = lower_view.flat();
  if (!lower) return fail("lower_bounds must be contiguous float32");
  const auto upper = upper_view.flat();
  if (!upper) return fail("upper_bounds must be contiguous float32");

  if (y->size() != x->size() || error->size() != x->size()) {
    return fail("x, y, and error must have the same length");
  }
  const std::size_t n = x->size();
  if (n < 3) return fail("at least 3 samples are required");
  if (initial->size() != 3 || lower->size() != 3 || upper->size() != 3) {
    return fail("initial, lower_bounds, and upper_bounds must have exactly 3 elements");
  }
  if (!all_finite(*x) || !all_finite(*y)) return fail("x and y values must be finite");
  if (!std::all_of(error->begin(), error->end(),
                   [](float e) { return std::isfinite(e) && e > 0.0f; })) {
    return fail("error values must be finite and positive");
  }
  if (!all_finite(*initial)) return fail("initial values must be finite");
  for (std::size_t k = 0; k < 3; ++k) {
    const float lo = (*lower)[k];
    const float hi = (*upper)[k];
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(lo < hi)) {
      return fail("lower_bounds and upper_bounds must be finite and increasing");
    }
  }
  if (!((*lower)[2] > 0.0f)) return fail("sigma lower bound must be positive");
  const FitTolerances tolerances{.xtol = xtol, .ftol = ftol, .gtol = gtol, .max_iter = max_iter};
  if (const auto refused = check_tolerances(tolerances)) return std::unexpected(*refused);

  BoundedGaussianProblem problem{
      .x = *x,
      .y = *y,
      .error = *error,
      .initial = {(*initial)[0], (*initial)[1], (*initial)[2]},
      .bounds = {(*lower)[0], (*upper)[0], (*lower)[1], (*upper)[1], (*lower)[2], (*upper)[2]},
      .tolerances = tolerances,
  };
  const std::optional<GaussianFit> fit = fit_bounded_gaussian(problem);
  if (!fit) return FitResult::failure(kFlagNoConvergence);
  return FitResult{{fit->amplitude, fit->centre, fit->sigma, fit->amplitude_error,
                    fit->centre_error, fit->sigma_error, reduced_chi2(fit->chi2, n), kFlagSuccess}};
}

}  // namespace quillet
