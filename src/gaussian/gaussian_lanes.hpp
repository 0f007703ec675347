// GaussianResiduals for the solver's lanes: one window's samples per lane,
// every residual and derivative from exactly the scalar model's operations.
// exp stays the platform's double exp, called once per lane and sample
// (a vector exp would round differently). As in the scalar model, each lane
// keeps z_i and g_i of the last (mu, sigma) it was evaluated at and reuses
// them while both keep their bits.
//
// Like the solver's lane headers, included only by a translation unit that
// chose its instruction set (see solver/lane_vectors.hpp).
#pragma once
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "gaussian/gaussian_uncertainties.hpp"
#include "solver/lane_vectors.hpp"

namespace quillet::QUILLET_LANE_ISA {

using solver::QUILLET_LANE_ISA::Doubles;
using solver::QUILLET_LANE_ISA::Ints;
using solver::QUILLET_LANE_ISA::kLanes;
using solver::QUILLET_LANE_ISA::lane;
using solver::QUILLET_LANE_ISA::Mask;
using solver::QUILLET_LANE_ISA::splat_int;

class GaussianLanes {
 public:
  using Params = std::array<Doubles, 3>;

  // Room for windows of up to `capacity` samples; one allocation.
  explicit GaussianLanes(std::size_t capacity) : block_(new Doubles[6 * capacity]()) {
    x_ = block_.get();
    y_ = x_ + capacity;
    e_ = y_ + capacity;
    w_ = e_ + capacity;
    z_ = w_ + capacity;
    g_ = z_ + capacity;
    count_ = splat_int(0);
    remembered_ = splat_int(0);
    centre_bits_ = splat_int(0);
    sigma_bits_ = splat_int(0);
  }

  // Lane k takes a window's samples (widened to double, and the weights
  // 1 / error_i formed once) and forgets the terms it kept.
  void load(int k, std::span<const float> x, std::span<const float> y,
            std::span<const float> error) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      lane(x_[i], k) = static_cast<double>(x[i]);
      lane(y_[i], k) = static_cast<double>(y[i]);
      lane(e_[i], k) = static_cast<double>(error[i]);
      lane(w_[i], k) = 1.0 / static_cast<double>(error[i]);
    }
    lane(count_, k) = static_cast<std::int64_t>(x.size());
    lane(remembered_, k) = 0;
  }

  // r_i = (y_i - g_i A) / error_i for the lanes in `lanes`, rows below
  // `rows`; other lanes' rows of `out` are left as they were.
  void evaluate(Mask lanes, const Params& p, Doubles* out, std::size_t rows) {
    terms(lanes, p, rows);
    const Doubles amplitude = p[0];
    for (std::size_t i = 0; i < rows; ++i) {
      const Doubles r = (y_[i] - g_[i] * amplitude) / e_[i];
      out[i] = lanes ? r : out[i];
    }
  }

  // dr_i/dA, dr_i/dmu and dr_i/dsigma into the three columns (every lane's
  // rows below `rows` are written; lanes outside `lanes` get no exp).
  void evaluate_with_derivs(Mask lanes, const Params& p, std::array<Doubles*, 3>& columns,
                            std::size_t rows) {
    terms(lanes, p, rows);
    const Doubles amplitude = p[0];
    const Doubles sigma = p[2];
    for (std::size_t i = 0; i < rows; ++i) {
      const Doubles w = w_[i], z = z_[i], g = g_[i];
      columns[0][i] = -g * w;
      columns[1][i] = z * -amplitude * g * w / sigma;
      columns[2][i] = w * (z * -amplitude * z * g) / sigma;
    }
  }

  // The three uncertainties of lane k at `params` (one lane's solution)
  // with chi-square `chi2`: from the kept terms when they are those of
  // `params`, else computed on the spot; the same bits either way.
  std::array<float, 3> uncertainties(int k, std::span<const double> params, double chi2) {
    const auto n = static_cast<std::size_t>(lane(count_, k));
    const double centre = params[1];
    const double sigma = params[2];
    const auto at = [k](const Doubles* v, std::size_t i) {
      return reinterpret_cast<const double*>(&v[i])[k];
    };
    if (lane(remembered_, k) != 0 && lane(centre_bits_, k) == std::bit_cast<std::int64_t>(centre) &&
        lane(sigma_bits_, k) == std::bit_cast<std::int64_t>(sigma)) {
      return gaussian_uncertainties_from(n, params, chi2,
                                         [&](std::size_t i, double& w, double& z, double& g) {
                                           w = at(w_, i);
                                           z = at(z_, i);
                                           g = at(g_, i);
                                         });
    }
    return gaussian_uncertainties_from(n, params, chi2,
                                       [&](std::size_t i, double& w, double& z, double& g) {
                                         w = 1.0 / at(e_, i);
                                         z = (at(x_, i) - centre) / sigma;
                                         g = std::exp(z * -0.5 * z);
                                       });
  }

 private:
  // z_i and g_i at (mu, sigma) of `p` for every lane of `lanes` that does
  // not hold them already.
  void terms(Mask lanes, const Params& p, std::size_t rows) {
    const Ints centre_bits = reinterpret_cast<Ints>(p[1]);
    const Ints sigma_bits = reinterpret_cast<Ints>(p[2]);
    const Mask stale =
        lanes & ~((remembered_ != 0) & (centre_bits_ == centre_bits) & (sigma_bits_ == sigma_bits));
    if (!solver::QUILLET_LANE_ISA::any(stale)) return;
    const Doubles centre = p[1];
    const Doubles sigma = p[2];
    for (std::size_t i = 0; i < rows; ++i) z_[i] = stale ? (x_[i] - centre) / sigma : z_[i];
    solver::QUILLET_LANE_ISA::for_each_lane(stale, [&](int k) {
      const auto n = static_cast<std::size_t>(lane(count_, k));
      for (std::size_t i = 0; i < n; ++i) {
        const double z = lane(z_[i], k);
        lane(g_[i], k) = std::exp(z * -0.5 * z);
      }
    });
    remembered_ = stale ? splat_int(-1) : remembered_;
    centre_bits_ = stale ? centre_bits : centre_bits_;
    sigma_bits_ = stale ? sigma_bits : sigma_bits_;
  }

  std::unique_ptr<Doubles[]> block_;
  Doubles* x_;
  Doubles* y_;
  Doubles* e_;
  Doubles* w_;
  Doubles* z_;
  Doubles* g_;
  // Set in the constructor (no member initialisers: see LaneState).
  Ints count_;
  Mask remembered_;
  Ints centre_bits_;
  Ints sigma_bits_;
};

}  // namespace quillet::QUILLET_LANE_ISA
