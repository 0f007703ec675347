// Support for the driver's tests: a residual model r_i = f(b, x_i) - y_i over
// a table of samples, with the curve (and, optionally, its gradient) given
// as plain functions. Test-only.
#ifndef QUILLET_TESTING
#error "test support: only test targets, which link quillet_testing, include this header"
#endif
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "solver/solver.hpp"

namespace quillet::solver::testing {

// f(b, x, x2): the model curve at predictor x (x2 for two-predictor data).
using Curve = double (*)(const double* b, double x, double x2);
// Writes df/db_p for every parameter into grad.
using CurveGradient = void (*)(const double* b, double x, double* grad);

struct CurveModel {
  Curve f;
  CurveGradient gradient = nullptr;    // a model without one writes no derivative slot
  std::vector<double> x{}, y{}, x2{};  // x2 empty unless the curve has a second predictor
  std::size_t evaluations = 0;

  std::size_t residual_count() const { return y.size(); }

  void evaluate(std::span<const double> b, std::span<double> out) {
    ++evaluations;
    for (std::size_t i = 0; i < y.size(); ++i) {
      out[i] = f(b.data(), x[i], x2.empty() ? 0.0 : x2[i]) - y[i];
    }
  }

  void evaluate_with_derivs(std::span<const double> b, std::span<double> out,
                            std::span<const std::span<double>> derivs) {
    evaluate(b, out);
    if (gradient == nullptr) return;
    double grad[16];
    for (std::size_t i = 0; i < y.size(); ++i) {
      gradient(b.data(), x[i], grad);
      for (std::size_t p = 0; p < derivs.size(); ++p) {
        if (!derivs[p].empty()) derivs[p][i] = grad[p];
      }
    }
  }
};
static_assert(ResidualModel<CurveModel>);

// Curves shared by the tests, with their gradients.
inline double constant(const double* b, double, double) { return b[0]; }
inline void constant_grad(const double*, double, double* g) { g[0] = 1; }
inline double quadratic(const double* b, double x, double) {
  return b[0] + b[1] * x + b[2] * x * x;
}
inline void quadratic_grad(const double*, double x, double* g) {
  g[0] = 1;
  g[1] = x;
  g[2] = x * x;
}
inline double decay(const double* b, double x, double) { return b[0] * std::exp(-b[1] * x); }
inline void decay_grad(const double* b, double x, double* g) {
  g[0] = std::exp(-b[1] * x);
  g[1] = -b[0] * x * std::exp(-b[1] * x);
}
inline double gaussian(const double* b, double x, double) {
  const double z = (x - b[1]) / b[2];
  return b[0] * std::exp(-0.5 * z * z);
}
inline void gaussian_grad(const double* b, double x, double* g) {
  const double z = (x - b[1]) / b[2];
  g[0] = std::exp(-0.5 * z * z);
  g[1] = b[0] * g[0] * z / b[2];
  g[2] = g[1] * z;
}

// `n` points from `from`, `step` apart.
inline std::vector<double> grid(double from, double step, int n) {
  std::vector<double> x;
  for (int i = 0; i < n; ++i) x.push_back(from + step * i);
  return x;
}

// Samples y = f(b, x) at the given x, exactly as the curve computes them.
inline CurveModel exact_curve(Curve f, CurveGradient gradient, std::vector<double> x,
                              std::vector<double> b) {
  CurveModel model{f, gradient, std::move(x), {}, {}};
  for (double xi : model.x) model.y.push_back(f(b.data(), xi, 0.0));
  return model;
}

// `n` free parameters without limits, all with the same derivative side.
inline std::vector<ParamConstraint> free_params(std::size_t n, DerivSide side) {
  ParamConstraint c;
  c.side = side;
  return std::vector<ParamConstraint>(n, c);
}

}  // namespace quillet::solver::testing
