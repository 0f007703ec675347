// The weighted residuals of a line model against one window's samples, for
// the solver: r_i = (y_i - model(x_i)) / error_i, with the model's analytic
// derivatives by the solver's parameters (line_model.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "lines/line_model.hpp"

namespace quillet::lines {

// The per-sample storage of a line fit, sized once for the longest window
// of a batch and reused by every row one thread fits, so that no row's fit
// allocates: the weights 1 / error_i, t_i = x_i - v_ref, the model's value,
// and each component's z_i = (x_i - centre) / sigma and exponential term
// g_i = exp(z_i * -0.5 * z_i).
class LineScratch {
 public:
  LineScratch(std::size_t components, std::size_t capacity);
  std::size_t capacity() const { return capacity_; }

 private:
  friend class LineResiduals;
  std::size_t capacity_;
  std::unique_ptr<double[]> block_;
  double* w_;
  double* t_;
  double* sum_;
  double* z_;  // component k's terms at z_ + k * capacity_
  double* g_;
};

// Each residual and derivative of a one-component model without baseline
// comes from exactly the operations of the single Gaussian's model
// (gaussian/gaussian_residuals.hpp), so that such a fit gives the same bits
// as the Gaussian fit. A component's terms depend on its centre and sigma
// alone and are kept while both keep their bits: the solver evaluates its
// Jacobian at the point of its last accepted trial.
class LineResiduals {
 public:
  // Over samples x, y, error (error > 0, all finite), with v_ref the
  // midpoint of the first and last x. `scratch` holds at least x.size()
  // samples and serves this model alone while it lives.
  LineResiduals(const LineLayout& layout, std::span<const float> x, std::span<const float> y,
                std::span<const float> error, LineScratch& scratch);

  std::size_t residual_count() const { return m_; }
  // `solver` holds the solver's parameters (layout.solver_count()).
  void evaluate(std::span<const double> solver, std::span<double> out);
  // One slot per solver parameter; empty slots (fixed parameters) are left.
  void evaluate_with_derivs(std::span<const double> solver, std::span<double> out,
                            std::span<const std::span<double>> derivs);

  // The model parameters of the last evaluation's solver parameters.
  std::span<const double> params() const { return {params_.data(), layout_.param_count()}; }

 private:
  // Expands the solver's parameters, brings every component's terms up to
  // date and sums the model into scratch.sum_.
  void model_values(std::span<const double> solver);
  double* z(std::size_t k) const { return scratch_.z_ + k * scratch_.capacity_; }
  double* g(std::size_t k) const { return scratch_.g_ + k * scratch_.capacity_; }

  const LineLayout& layout_;
  std::span<const float> x_;
  std::span<const float> y_;
  std::span<const float> error_;
  std::size_t m_;
  LineScratch& scratch_;
  std::array<double, kMaxParams> params_{};
  std::array<bool, kMaxComponents> remembered_{};
  std::array<std::uint64_t, kMaxComponents> centre_bits_{};
  std::array<std::uint64_t, kMaxComponents> sigma_bits_{};
};

}  // namespace quillet::lines
