#include "gaussian/gaussian_uncertainties.hpp"

#include <cmath>
#include <cstddef>

namespace quillet {

std::array<float, 3> gaussian_uncertainties(std::span<const float> x, std::span<const float> error,
                                            std::span<const double> params, double chi2) {
  const double centre = params[1];
  const double sigma = params[2];
  return gaussian_uncertainties_from(x.size(), params, chi2,
                                     [&](std::size_t i, double& w, double& z, double& g) {
                                       w = 1.0 / static_cast<double>(error[i]);
                                       z = (static_cast<double>(x[i]) - centre) / sigma;
                                       g = std::exp(z * -0.5 * z);
                                     });
}

std::array<float, 3> gaussian_uncertainties(std::span<const double> params, double chi2,
                                            std::span<const double> w, std::span<const double> z,
                                            std::span<const double> g) {
  return gaussian_uncertainties_from(w.size(), params, chi2,
                                     [&](std::size_t i, double& wi, double& zi, double& gi) {
                                       wi = w[i];
                                       zi = z[i];
                                       gi = g[i];
                                     });
}

}  // namespace quillet
