#include "gaussian/gaussian_residuals.hpp"

#include <cmath>

namespace quillet {

// Each residual comes from exactly the operations below, in this order and
// grouping: the results are reproduced bit for bit elsewhere.

void GaussianResiduals::evaluate(std::span<const double> params, std::span<double> out) const {
  const double amplitude = params[0];
  const double centre = params[1];
  const double sigma = params[2];
  const std::size_t m = x_.size();
  for (std::size_t i = 0; i < m; ++i) {
    const double z = (static_cast<double>(x_[i]) - centre) / sigma;
    const double g = std::exp(z * -0.5 * z);
    out[i] = (static_cast<double>(y_[i]) - g * amplitude) / static_cast<double>(error_[i]);
  }
}

void GaussianResiduals::evaluate_with_derivs(std::span<const double> params, std::span<double> out,
                                             std::span<const std::span<double>> derivs) const {
  const double amplitude = params[0];
  const double centre = params[1];
  const double sigma = params[2];
  const std::span<double> d_amplitude = derivs[0];
  const std::span<double> d_centre = derivs[1];
  const std::span<double> d_sigma = derivs[2];
  const std::size_t m = x_.size();
  for (std::size_t i = 0; i < m; ++i) {
    const double z = (static_cast<double>(x_[i]) - centre) / sigma;
    const double g = std::exp(z * -0.5 * z);
    const double w = 1.0 / static_cast<double>(error_[i]);
    out[i] = (static_cast<double>(y_[i]) - amplitude * g) * w;
    if (!d_amplitude.empty()) d_amplitude[i] = -g * w;
    if (!d_centre.empty()) d_centre[i] = z * -amplitude * g * w / sigma;
    if (!d_sigma.empty()) d_sigma[i] = w * (z * -amplitude * z * g) / sigma;
  }
}

}  // namespace quillet
