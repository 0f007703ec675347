// LineResiduals for the solver's lanes: one window per lane, one model
// shared by all, every residual and derivative from exactly the scalar
// model's operations (line_residuals.cpp) on each lane. exp stays the
// platform's double exp, called once per lane, sample and component; as in
// the scalar model, each lane keeps a component's terms while its centre and
// sigma keep their bits (the solver evaluates its Jacobian at the point of
// its last accepted trial).
//
// The lanes see the free parameters alone (N of them, in solver order):
// the lane solver runs every parameter it is given, so fixed ones are held
// here, per lane, and each lane's model parameters are expanded from both.
// A run without its fixed parameters is the very run the scalar solver makes
// with them: it leaves them out of every step.
//
// Like the solver's lane headers, included only by a translation unit that
// chose its instruction set (see solver/lane_vectors.hpp).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

#include "lines/line_model.hpp"
#include "solver/lane_vectors.hpp"

namespace quillet::lines::QUILLET_LANE_ISA {

// Tied parameters from their references, compiled for this instruction set.
#include "lines/tie_rules.hpp"

using solver::QUILLET_LANE_ISA::Doubles;
using solver::QUILLET_LANE_ISA::Ints;
using solver::QUILLET_LANE_ISA::kLanes;
using solver::QUILLET_LANE_ISA::lane;
using solver::QUILLET_LANE_ISA::Mask;
using solver::QUILLET_LANE_ISA::splat_int;

template <int N>
class LineLanes {
 public:
  using Params = std::array<Doubles, N>;

  // Room for windows of up to `capacity` samples; one allocation. The
  // layout has N free parameters.
  LineLanes(const LineLayout& layout, std::size_t capacity)
      : layout_(layout),
        capacity_(capacity),
        block_(new Doubles[(6 + 2 * layout.model().components) * capacity]()) {
    x_ = block_.get();
    y_ = x_ + capacity;
    e_ = y_ + capacity;
    w_ = e_ + capacity;
    t_ = w_ + capacity;
    sum_ = t_ + capacity;
    z_ = sum_ + capacity;
    g_ = z_ + layout.model().components * capacity;
    if (layout.free_count() != static_cast<std::size_t>(N)) {
      throw std::logic_error("line lanes instantiated for another number of free parameters");
    }
    count_ = splat_int(0);
    params_.fill(splat(0.0));
    fixed_.fill(splat(0.0));
    free_of_.fill(-1);
    std::size_t free = 0;
    for (std::size_t j = 0; j < layout.solver_count(); ++j) {
      const std::size_t param = layout.param_of(j);
      free_of_[param] = layout.model().fixed[param] ? -1 : static_cast<int>(free++);
    }
    for (std::size_t k = 0; k < kMaxComponents; ++k) {
      remembered_[k] = splat_int(0);
      centre_bits_[k] = splat_int(0);
      sigma_bits_[k] = splat_int(0);
    }
  }

  // Lane k takes a window's samples (widened to double; the weights and
  // t_i = x_i - v_ref formed once, v_ref the midpoint of the first and last x)
  // and the values of the fixed solver parameters (`solver`: one value per
  // solver parameter; the free ones' are not read), and forgets the terms it
  // kept.
  void load(int k, std::span<const float> x, std::span<const float> y, std::span<const float> error,
            std::span<const double> solver) {
    for (std::size_t j = 0; j < layout_.solver_count(); ++j) {
      const std::size_t param = layout_.param_of(j);
      if (free_of_[param] < 0) lane(fixed_[param], k) = solver[j];
    }
    for (std::size_t c = 0; c < kMaxComponents; ++c) lane(remembered_[c], k) = 0;
    const double v_ref =
        x.empty() ? 0.0 : 0.5 * (static_cast<double>(x.front()) + static_cast<double>(x.back()));
    for (std::size_t i = 0; i < x.size(); ++i) {
      lane(x_[i], k) = static_cast<double>(x[i]);
      lane(y_[i], k) = static_cast<double>(y[i]);
      lane(e_[i], k) = static_cast<double>(error[i]);
      lane(w_[i], k) = 1.0 / static_cast<double>(error[i]);
      lane(t_[i], k) = static_cast<double>(x[i]) - v_ref;
    }
    lane(count_, k) = static_cast<std::int64_t>(x.size());
  }

  // r_i = (y_i - model_i) / error_i for the lanes in `lanes`, rows below
  // `rows`; other lanes' rows of `out` are left as they were.
  void evaluate(Mask lanes, const Params& p, Doubles* out, std::size_t rows) {
    model_values(lanes, p, rows);
    for (std::size_t i = 0; i < rows; ++i) {
      const Doubles r = (y_[i] - sum_[i]) / e_[i];
      out[i] = lanes ? r : out[i];
    }
  }

  // Every free parameter's column (null columns are left); every lane's
  // rows below `rows` are written.
  void evaluate_with_derivs(Mask lanes, const Params& p, std::array<Doubles*, N>& columns,
                            std::size_t rows) {
    // The columns need the terms alone: the lane solver keeps the residuals
    // of the trial it accepted, so the model's value is not summed here.
    terms(lanes, p, rows);
    const LineModel& model = layout_.model();
    const auto column = [&](std::size_t param) -> Doubles* {
      const int free = free_of_[param];
      return free < 0 ? nullptr : columns[static_cast<std::size_t>(free)];
    };
    constexpr std::array<Attribute, 3> kAttributes = {Attribute::Amplitude, Attribute::Centre,
                                                      Attribute::Sigma};
    // Own columns first, then what tied parameters add, as the scalar model.
    for (const bool tied_pass : {false, true}) {
      for (std::size_t k = 0; k < model.components; ++k) {
        for (const Attribute a : kAttributes) {
          const std::size_t param = param_index(k, a);
          if (layout_.tied(param) != tied_pass) continue;
          Doubles* out = column(tied_pass ? layout_.reference_of(param) : param);
          if (out == nullptr) continue;
          const auto factor = splat(static_cast<double>(model.ties[k].amplitude_ratio));
          attribute_column(a, k, out, tied_pass, factor, rows);
        }
      }
      if (tied_pass) break;
      const std::size_t b = 3 * model.components;
      if (Doubles* out = model.baseline >= 0 ? column(b) : nullptr) {
        for (std::size_t i = 0; i < rows; ++i) out[i] = -w_[i];
      }
      if (Doubles* out = model.baseline >= 1 ? column(b + 1) : nullptr) {
        for (std::size_t i = 0; i < rows; ++i) out[i] = -t_[i] * w_[i];
      }
      if (Doubles* out = model.baseline >= 2 ? column(b + 2) : nullptr) {
        for (std::size_t i = 0; i < rows; ++i) out[i] = -t_[i] * t_[i] * w_[i];
      }
    }
  }

 private:
  static Doubles splat(double v) { return Doubles{} + v; }

  Doubles* z(std::size_t k) const { return z_ + k * capacity_; }
  Doubles* g(std::size_t k) const { return g_ + k * capacity_; }

  // Every model parameter of each lane from its free parameters and its
  // fixed ones: the scalar LineLayout::expand, lane by lane in vector form.
  std::array<Doubles, kMaxParams> expand(const Params& p) const {
    std::array<Doubles, kMaxParams> params{};
    for (std::size_t j = 0; j < layout_.solver_count(); ++j) {
      const std::size_t param = layout_.param_of(j);
      const int free = free_of_[param];
      params[param] = free < 0 ? fixed_[param] : p[static_cast<std::size_t>(free)];
    }
    follow_ties(layout_.model(), params.data());
    return params;
  }

  // Each lane's model parameters, and every component's terms for the
  // lanes of `lanes` that do not hold them already.
  void terms(Mask lanes, const Params& p, std::size_t rows) {
    params_ = expand(p);
    const LineModel& model = layout_.model();
    for (std::size_t k = 0; k < model.components; ++k) {
      const Doubles centre = params_[3 * k + 1];
      const Doubles sigma = params_[3 * k + 2];
      const Ints cb = reinterpret_cast<Ints>(centre);
      const Ints sb = reinterpret_cast<Ints>(sigma);
      const Mask stale =
          lanes & ~((remembered_[k] != 0) & (centre_bits_[k] == cb) & (sigma_bits_[k] == sb));
      if (!solver::QUILLET_LANE_ISA::any(stale)) continue;
      Doubles* zk = z(k);
      Doubles* gk = g(k);
      for (std::size_t i = 0; i < rows; ++i) zk[i] = stale ? (x_[i] - centre) / sigma : zk[i];
      solver::QUILLET_LANE_ISA::for_each_lane(stale, [&](int l) {
        const auto n = static_cast<std::size_t>(lane(count_, l));
        for (std::size_t i = 0; i < n; ++i) {
          const double zi = lane(zk[i], l);
          lane(gk[i], l) = std::exp(zi * -0.5 * zi);
        }
      });
      remembered_[k] = stale ? splat_int(-1) : remembered_[k];
      centre_bits_[k] = stale ? cb : centre_bits_[k];
      sigma_bits_[k] = stale ? sb : sigma_bits_[k];
    }
  }

  // The terms, then the model's value summed into sum_.
  void model_values(Mask lanes, const Params& p, std::size_t rows) {
    terms(lanes, p, rows);
    const LineModel& model = layout_.model();
    for (std::size_t i = 0; i < rows; ++i) sum_[i] = g(0)[i] * params_[0];
    for (std::size_t k = 1; k < model.components; ++k) {
      const Doubles* gk = g(k);
      const Doubles ak = params_[3 * k];
      for (std::size_t i = 0; i < rows; ++i) sum_[i] = sum_[i] + gk[i] * ak;
    }
    const std::size_t b = 3 * model.components;
    switch (model.baseline) {
      case 0:
        for (std::size_t i = 0; i < rows; ++i) sum_[i] = sum_[i] + params_[b];
        break;
      case 1:
        for (std::size_t i = 0; i < rows; ++i) {
          sum_[i] = sum_[i] + (params_[b] + t_[i] * params_[b + 1]);
        }
        break;
      case 2:
        for (std::size_t i = 0; i < rows; ++i) {
          sum_[i] = sum_[i] + (params_[b] + t_[i] * (params_[b + 1] + t_[i] * params_[b + 2]));
        }
        break;
      default:
        break;
    }
  }

  // The scalar model's attribute_column, in vector form.
  void attribute_column(Attribute a, std::size_t k, Doubles* out, bool add, Doubles factor,
                        std::size_t rows) const {
    const Doubles* zk = z(k);
    const Doubles* gk = g(k);
    const Doubles amplitude = params_[3 * k];
    const Doubles sigma = params_[3 * k + 2];
    for (std::size_t i = 0; i < rows; ++i) {
      Doubles d;
      switch (a) {
        case Attribute::Amplitude:
          d = add ? factor * (-gk[i] * w_[i]) : -gk[i] * w_[i];
          break;
        case Attribute::Centre:
          d = zk[i] * -amplitude * gk[i] * w_[i] / sigma;
          break;
        default:
          d = w_[i] * (zk[i] * -amplitude * zk[i] * gk[i]) / sigma;
          break;
      }
      out[i] = add ? out[i] + d : d;
    }
  }

  const LineLayout& layout_;
  std::size_t capacity_;
  std::unique_ptr<Doubles[]> block_;
  Doubles* x_;
  Doubles* y_;
  Doubles* e_;
  Doubles* w_;
  Doubles* t_;
  Doubles* sum_;
  Doubles* z_;
  Doubles* g_;
  // The free position of each model parameter, -1 for fixed and tied ones.
  std::array<int, kMaxParams> free_of_{};
  // No member initialisers for vectors (see LaneState): set in the
  // constructor, or zero-initialised as a whole.
  std::array<Doubles, kMaxParams> params_;
  std::array<Doubles, kMaxParams> fixed_;  // each lane's fixed values, by model parameter
  Ints count_;
  std::array<Mask, kMaxComponents> remembered_;
  std::array<Ints, kMaxComponents> centre_bits_;
  std::array<Ints, kMaxComponents> sigma_bits_;
};

}  // namespace quillet::lines::QUILLET_LANE_ISA
