#include "gaussian/gaussian_residuals.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace quillet {

// Each residual and derivative comes from exactly the operations below, in
// this order and grouping: the results are reproduced bit for bit elsewhere.
// The loops without a call in them run several samples per step; that
// changes no operation of any one sample.

namespace {

// The per-sample kernels, over raw pointers that never alias one another, so
// that the loops without a call run several samples per step.

void z_terms(std::size_t count, const float* __restrict x, double centre, double sigma,
             double* __restrict z) {
  for (std::size_t i = 0; i < count; ++i) z[i] = (static_cast<double>(x[i]) - centre) / sigma;
}

void residuals(std::size_t count, const float* __restrict y, const float* __restrict e,
               const double* __restrict g, double amplitude, double* __restrict r) {
  for (std::size_t i = 0; i < count; ++i) {
    r[i] = (static_cast<double>(y[i]) - g[i] * amplitude) / static_cast<double>(e[i]);
  }
}

void weights(std::size_t count, const float* __restrict e, double* __restrict w) {
  for (std::size_t i = 0; i < count; ++i) w[i] = 1.0 / static_cast<double>(e[i]);
}

void residuals_and_derivs(std::size_t count, const float* __restrict y, const double* __restrict w,
                          const double* __restrict z, const double* __restrict g, double amplitude,
                          double sigma, double* __restrict r, double* __restrict da,
                          double* __restrict dm, double* __restrict ds) {
  for (std::size_t i = 0; i < count; ++i) {
    r[i] = (static_cast<double>(y[i]) - amplitude * g[i]) * w[i];
    da[i] = -g[i] * w[i];
    dm[i] = z[i] * -amplitude * g[i] * w[i] / sigma;
    ds[i] = w[i] * (z[i] * -amplitude * z[i] * g[i]) / sigma;
  }
}

}  // namespace

void GaussianResiduals::compute_terms(std::size_t begin, std::size_t count, double centre,
                                      double sigma) const {
  z_terms(count, x_.data() + begin, centre, sigma, z_.data());
  for (std::size_t i = 0; i < count; ++i) g_[i] = std::exp(z_[i] * -0.5 * z_[i]);
}

template <class Chunk>
void GaussianResiduals::for_each_chunk(std::span<const double> params, Chunk&& chunk) const {
  const double centre = params[1];
  const double sigma = params[2];
  const std::size_t m = x_.size();
  if (m <= kRememberedSamples) {
    // The weights 1 / error_i depend on no parameter: once per model.
    if (!weighed_) {
      weights(m, error_.data(), w_.data());
      weighed_ = true;
    }
    const auto centre_bits = std::bit_cast<std::uint64_t>(centre);
    const auto sigma_bits = std::bit_cast<std::uint64_t>(sigma);
    if (!remembered_ || remembered_centre_ != centre_bits || remembered_sigma_ != sigma_bits) {
      compute_terms(0, m, centre, sigma);
      remembered_ = true;
      remembered_centre_ = centre_bits;
      remembered_sigma_ = sigma_bits;
    }
    chunk(std::size_t{0}, m);
    return;
  }
  for (std::size_t begin = 0; begin < m; begin += kRememberedSamples) {
    const std::size_t count = std::min(kRememberedSamples, m - begin);
    weights(count, error_.data() + begin, w_.data());
    compute_terms(begin, count, centre, sigma);
    chunk(begin, count);
  }
}

void GaussianResiduals::evaluate(std::span<const double> params, std::span<double> out) const {
  const double amplitude = params[0];
  for_each_chunk(params, [&](std::size_t begin, std::size_t count) {
    residuals(count, y_.data() + begin, error_.data() + begin, g_.data(), amplitude,
              out.data() + begin);
  });
}

void GaussianResiduals::evaluate_with_derivs(std::span<const double> params, std::span<double> out,
                                             std::span<const std::span<double>> derivs) const {
  const double amplitude = params[0];
  const double sigma = params[2];
  // An absent slot is an empty span.
  const auto slot = [&derivs](std::size_t k) {
    return derivs[k].empty() ? nullptr : derivs[k].data();
  };
  double* const d_amplitude = slot(0);
  double* const d_centre = slot(1);
  double* const d_sigma = slot(2);
  const bool all_slots = d_amplitude != nullptr && d_centre != nullptr && d_sigma != nullptr;

  for_each_chunk(params, [&](std::size_t begin, std::size_t count) {
    const float* const y = y_.data() + begin;
    const double* const w = w_.data();
    const double* const z = z_.data();
    const double* const g = g_.data();
    double* const r = out.data() + begin;
    if (all_slots) {
      // The solver's usual request: every column, in one branch-free loop.
      residuals_and_derivs(count, y, w, z, g, amplitude, sigma, r, d_amplitude + begin,
                           d_centre + begin, d_sigma + begin);
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      r[i] = (static_cast<double>(y[i]) - amplitude * g[i]) * w[i];
      if (d_amplitude != nullptr) d_amplitude[begin + i] = -g[i] * w[i];
      if (d_centre != nullptr) d_centre[begin + i] = z[i] * -amplitude * g[i] * w[i] / sigma;
      if (d_sigma != nullptr) {
        d_sigma[begin + i] = w[i] * (z[i] * -amplitude * z[i] * g[i]) / sigma;
      }
    }
  });
}

GaussianResiduals::Terms GaussianResiduals::terms(std::span<const double> params) const {
  const std::size_t m = x_.size();
  if (m > kRememberedSamples) return {};
  for_each_chunk(params, [](std::size_t, std::size_t) {});
  return {std::span<const double>(w_.data(), m), std::span<const double>(z_.data(), m),
          std::span<const double>(g_.data(), m)};
}

}  // namespace quillet
