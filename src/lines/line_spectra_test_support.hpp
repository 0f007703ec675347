// Support for the line models' tests: models built in one expression, and
// windows of samples drawn from a model with Gaussian noise. Test-only.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <span>
#include <vector>

#include "lines/line_model.hpp"

namespace quillet::lines::testing {

inline LineModel make_model(std::size_t components, int baseline,
                            std::initializer_list<std::size_t> fixed = {}) {
  LineModel model;
  model.components = components;
  model.baseline = baseline;
  for (const std::size_t p : fixed) model.fixed[p] = true;
  return model;
}

// The model's value at v over a window whose v_ref is `v_ref`, written
// plainly (not as the fit computes it).
inline double model_value(const LineModel& model, std::span<const double> params, double v,
                          double v_ref) {
  double sum = 0.0;
  for (std::size_t k = 0; k < model.components; ++k) {
    const double z = (v - params[3 * k + 1]) / params[3 * k + 2];
    sum += params[3 * k] * std::exp(-0.5 * z * z);
  }
  const double t = v - v_ref;
  const std::size_t b = 3 * model.components;
  double power = 1.0;
  for (std::size_t j = 0; j < model.baseline_terms(); ++j, power *= t) sum += params[b + j] * power;
  return sum;
}

struct Window {
  std::vector<float> x, y, error;
};

// n samples from v0 in steps of dv, the model at `params` plus noise of
// sigma `noise` drawn with `seed` (every error is `noise`).
inline Window noisy_window(const LineModel& model, std::span<const double> params, std::size_t n,
                           double v0, double dv, double noise, std::uint64_t seed) {
  Window w;
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  for (std::size_t i = 0; i < n; ++i) {
    w.x.push_back(static_cast<float>(v0 + dv * static_cast<double>(i)));
  }
  // The model at the samples' own (float) velocities, as the fit sees them.
  const double v_ref = 0.5 * (static_cast<double>(w.x.front()) + static_cast<double>(w.x.back()));
  for (const float x : w.x) {
    const auto v = static_cast<double>(x);
    w.y.push_back(static_cast<float>(model_value(model, params, v, v_ref) + noise * gauss(rng)));
    w.error.push_back(static_cast<float>(noise));
  }
  return w;
}

}  // namespace quillet::lines::testing
