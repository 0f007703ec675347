#pragma once

#include <array>
#include <span>

namespace quillet {

// One-sigma errors of (A, mu, sigma) from the diagonal of the inverse normal
// matrix (J^T J)^-1 of the weighted residuals at `params`, scaled by
// sqrt(chi2 / (n - 3)) when n > 3. The parameter bounds play no part. A
// singular or non-finite normal matrix gives three zeros; a non-positive
// diagonal entry zeroes only its own error.
std::array<float, 3> gaussian_uncertainties(std::span<const float> x, std::span<const float> error,
                                            std::span<const double> params, double chi2);

// The same from each sample's w_i = 1 / error_i, z_i = (x_i - mu) / sigma
// and g_i = exp(z_i * -0.5 * z_i) at `params`, as the model keeps them, so
// that nothing is computed twice; identical results.
std::array<float, 3> gaussian_uncertainties(std::span<const double> params, double chi2,
                                            std::span<const double> w, std::span<const double> z,
                                            std::span<const double> g);

}  // namespace quillet
