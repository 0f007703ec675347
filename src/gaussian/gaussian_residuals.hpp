#pragma once

#include <cstddef>
#include <span>

namespace quillet {

// The weighted residuals of one Gaussian line, A exp(-((x - mu) / sigma)^2 / 2),
// against samples y with one-sigma errors: r_i = (y_i - model(x_i)) / error_i.
// Parameters are (A, mu, sigma). Holds views of the caller's samples only;
// every sample is widened to double before it enters any arithmetic.
class GaussianResiduals {
 public:
  GaussianResiduals(std::span<const float> x, std::span<const float> y,
                    std::span<const float> error)
      : x_(x), y_(y), error_(error) {}

  std::size_t residual_count() const { return x_.size(); }

  void evaluate(std::span<const double> params, std::span<double> out) const;

  // Also writes dr_i/dA, dr_i/dmu and dr_i/dsigma into the slots present
  // (non-empty) in `derivs`.
  void evaluate_with_derivs(std::span<const double> params, std::span<double> out,
                            std::span<const std::span<double>> derivs) const;

 private:
  std::span<const float> x_;
  std::span<const float> y_;
  std::span<const float> error_;
};

}  // namespace quillet
