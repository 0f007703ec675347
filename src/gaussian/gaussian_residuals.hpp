#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quillet {

// The weighted residuals of one Gaussian line, A exp(-((x - mu) / sigma)^2 / 2),
// against samples y with one-sigma errors: r_i = (y_i - model(x_i)) / error_i.
// Parameters are (A, mu, sigma). Holds views of the caller's samples; every
// sample is widened to double before it enters any arithmetic.
//
// The exponential terms g_i = exp(z_i * -0.5 * z_i), z_i = (x_i - mu) / sigma,
// are the cost of an evaluation, and they depend on mu and sigma alone (the
// weights 1 / error_i on nothing at all, and are kept for good). The
// solver evaluates the Jacobian at the point of its last accepted trial, so
// for windows of up to kRememberedSamples samples the model keeps z_i and
// g_i of the last (mu, sigma) it saw and reuses them while mu and sigma keep
// the same bits: a reuse yields exactly what recomputing would. The memory
// belongs to this object alone, which serves one solver run on one thread.
class GaussianResiduals {
 public:
  static constexpr std::size_t kRememberedSamples = 128;

  GaussianResiduals(std::span<const float> x, std::span<const float> y,
                    std::span<const float> error)
      : x_(x), y_(y), error_(error) {}

  std::size_t residual_count() const { return x_.size(); }

  void evaluate(std::span<const double> params, std::span<double> out) const;

  // Also writes dr_i/dA, dr_i/dmu and dr_i/dsigma into the slots present
  // (non-empty) in `derivs`.
  void evaluate_with_derivs(std::span<const double> params, std::span<double> out,
                            std::span<const std::span<double>> derivs) const;

  // w_i = 1 / error_i, and z_i and g_i of every sample at the centre and
  // sigma of `params`, the remembered ones when they match. Empty for a
  // window longer than kRememberedSamples, whose terms are never kept. The
  // spans stay valid until the next call on this model.
  struct Terms {
    std::span<const double> w;
    std::span<const double> z;
    std::span<const double> g;
  };
  Terms terms(std::span<const double> params) const;

 private:
  // z_i and g_i of samples [begin, begin + count) at (centre, sigma), in
  // z_[0, count) and g_[0, count). count <= kRememberedSamples.
  void compute_terms(std::size_t begin, std::size_t count, double centre, double sigma) const;

  // Calls chunk(begin, count) over the samples in pieces of at most
  // kRememberedSamples, with z_ and g_ holding each piece's terms.
  template <class Chunk>
  void for_each_chunk(std::span<const double> params, Chunk&& chunk) const;

  std::span<const float> x_;
  std::span<const float> y_;
  std::span<const float> error_;

  mutable bool remembered_ = false;
  mutable std::uint64_t remembered_centre_ = 0;  // bit patterns of the (mu, sigma)
  mutable std::uint64_t remembered_sigma_ = 0;   // whose terms z_ and g_ hold
  mutable bool weighed_ = false;  // w_ holds 1 / error_i (windows up to kRememberedSamples)
  mutable std::array<double, kRememberedSamples> w_;
  mutable std::array<double, kRememberedSamples> z_;
  mutable std::array<double, kRememberedSamples> g_;
};

}  // namespace quillet
