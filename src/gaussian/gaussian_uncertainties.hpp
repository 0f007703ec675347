#pragma once

#include <array>
#include <cmath>
#include <cstddef>
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

namespace uncertainty_detail {

// Below this the normal matrix counts as singular: its inverse would be noise.
inline constexpr double kSingularDeterminant = 1e-30;

inline float scaled_error(double variance, double scale) {
  // A NaN variance fails the test too and reports 0, never NaN.
  return variance > 0.0 ? static_cast<float>(std::sqrt(variance) * scale) : 0.0f;
}

}  // namespace uncertainty_detail

// The errors from the per-sample terms that `terms(i, w, z, g)` supplies
// for i < n, whoever keeps them (the scalar model, the lanes, or a
// computation on the spot): both overloads below, and the batch's lanes.
template <class Terms>
std::array<float, 3> gaussian_uncertainties_from(std::size_t n, std::span<const double> params,
                                                 double chi2, Terms&& terms) {
  const double amplitude = params[0];
  const double sigma = params[2];

  // The six distinct sums of the symmetric normal matrix M = J^T J.
  double s_aa = 0.0, s_am = 0.0, s_as = 0.0, s_mm = 0.0, s_ms = 0.0, s_ss = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double w = 0.0;
    double z = 0.0;
    double g = 0.0;
    terms(i, w, z, g);
    const double j_a = -g * w;
    const double j_m = w * z * -amplitude * g / sigma;
    const double j_s = w * z * z * -amplitude * g / sigma;
    s_aa += j_a * j_a;
    s_am += j_a * j_m;
    s_as += j_a * j_s;
    s_mm += j_m * j_m;
    s_ms += j_m * j_s;
    s_ss += j_s * j_s;
  }

  // Determinant expanded along the first row.
  const double det = s_as * (s_ms * s_am - s_mm * s_as) +
                     (s_aa * (s_ss * s_mm - s_ms * s_ms) - (s_am * s_ss - s_as * s_ms) * s_am);
  if (!std::isfinite(det) || std::fabs(det) < uncertainty_detail::kSingularDeterminant)
    return {0.0f, 0.0f, 0.0f};

  // With three samples or fewer there are no degrees of freedom to scale by.
  const double scale = n > 3 ? std::sqrt(chi2 / static_cast<double>(n - 3)) : 1.0;

  const double v_amplitude = (s_ss * s_mm - s_ms * s_ms) / det;
  const double v_centre = (s_ss * s_aa - s_as * s_as) / det;
  const double v_sigma = (s_aa * s_mm - s_am * s_am) / det;
  return {uncertainty_detail::scaled_error(v_amplitude, scale),
          uncertainty_detail::scaled_error(v_centre, scale),
          uncertainty_detail::scaled_error(v_sigma, scale)};
}

}  // namespace quillet
