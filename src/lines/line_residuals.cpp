#include "lines/line_residuals.hpp"

#include <bit>
#include <cmath>

namespace quillet::lines {
namespace {

// The derivative of r_i by one attribute of one component, from that
// component's terms at sample i (the Gaussian model's formulas, grouped as
// it groups them).
struct ComponentTerms {
  const double* z;
  const double* g;
  const double* w;
  double amplitude;
  double sigma;
};

// Writes (or, with `add`, adds `factor` times) dr_i/d(attribute) of a
// component into `out` for i < m.
void attribute_column(Attribute a, const ComponentTerms& c, std::size_t m, double* __restrict out,
                      bool add, double factor) {
  const double* __restrict z = c.z;
  const double* __restrict g = c.g;
  const double* __restrict w = c.w;
  const double amplitude = c.amplitude;
  const double sigma = c.sigma;
  switch (a) {
    case Attribute::Amplitude:
      if (!add) {
        for (std::size_t i = 0; i < m; ++i) out[i] = -g[i] * w[i];
      } else {
        for (std::size_t i = 0; i < m; ++i) out[i] += factor * (-g[i] * w[i]);
      }
      return;
    case Attribute::Centre:
      if (!add) {
        for (std::size_t i = 0; i < m; ++i) out[i] = z[i] * -amplitude * g[i] * w[i] / sigma;
      } else {
        for (std::size_t i = 0; i < m; ++i) out[i] += z[i] * -amplitude * g[i] * w[i] / sigma;
      }
      return;
    case Attribute::Sigma:
      if (!add) {
        for (std::size_t i = 0; i < m; ++i) {
          out[i] = w[i] * (z[i] * -amplitude * z[i] * g[i]) / sigma;
        }
      } else {
        for (std::size_t i = 0; i < m; ++i) {
          out[i] += w[i] * (z[i] * -amplitude * z[i] * g[i]) / sigma;
        }
      }
      return;
  }
}

constexpr std::array<Attribute, 3> kAttributes = {Attribute::Amplitude, Attribute::Centre,
                                                  Attribute::Sigma};

}  // namespace

LineScratch::LineScratch(std::size_t components, std::size_t capacity)
    : capacity_(capacity), block_(new double[(3 + 2 * components) * capacity]()) {
  w_ = block_.get();
  t_ = w_ + capacity;
  sum_ = t_ + capacity;
  z_ = sum_ + capacity;
  g_ = z_ + components * capacity;
}

LineResiduals::LineResiduals(const LineLayout& layout, std::span<const float> x,
                             std::span<const float> y, std::span<const float> error,
                             LineScratch& scratch)
    : layout_(layout), x_(x), y_(y), error_(error), m_(x.size()), scratch_(scratch) {
  if (m_ == 0) return;
  const double v_ref = 0.5 * (static_cast<double>(x.front()) + static_cast<double>(x.back()));
  for (std::size_t i = 0; i < m_; ++i) {
    scratch_.w_[i] = 1.0 / static_cast<double>(error[i]);
    scratch_.t_[i] = static_cast<double>(x[i]) - v_ref;
  }
}

void LineResiduals::model_values(std::span<const double> solver) {
  layout_.expand(solver, params_);
  const LineModel& model = layout_.model();
  const std::size_t m = m_;
  const float* __restrict x = x_.data();
  for (std::size_t k = 0; k < model.components; ++k) {
    const double centre = params_[3 * k + 1];
    const double sigma = params_[3 * k + 2];
    const auto cb = std::bit_cast<std::uint64_t>(centre);
    const auto sb = std::bit_cast<std::uint64_t>(sigma);
    if (remembered_[k] && centre_bits_[k] == cb && sigma_bits_[k] == sb) continue;
    double* __restrict zk = z(k);
    double* __restrict gk = g(k);
    for (std::size_t i = 0; i < m; ++i) zk[i] = (static_cast<double>(x[i]) - centre) / sigma;
    for (std::size_t i = 0; i < m; ++i) gk[i] = std::exp(zk[i] * -0.5 * zk[i]);
    remembered_[k] = true;
    centre_bits_[k] = cb;
    sigma_bits_[k] = sb;
  }

  // The components in order, the first one's term alone as the Gaussian's
  // model is, then the baseline by Horner's rule.
  double* __restrict sum = scratch_.sum_;
  {
    const double* __restrict g0 = g(0);
    const double a0 = params_[0];
    for (std::size_t i = 0; i < m; ++i) sum[i] = g0[i] * a0;
  }
  for (std::size_t k = 1; k < model.components; ++k) {
    const double* __restrict gk = g(k);
    const double ak = params_[3 * k];
    for (std::size_t i = 0; i < m; ++i) sum[i] = sum[i] + gk[i] * ak;
  }
  const double* __restrict t = scratch_.t_;
  const std::size_t b = 3 * model.components;
  switch (model.baseline) {
    case 0:
      for (std::size_t i = 0; i < m; ++i) sum[i] = sum[i] + params_[b];
      break;
    case 1:
      for (std::size_t i = 0; i < m; ++i) sum[i] = sum[i] + (params_[b] + t[i] * params_[b + 1]);
      break;
    case 2:
      for (std::size_t i = 0; i < m; ++i) {
        sum[i] = sum[i] + (params_[b] + t[i] * (params_[b + 1] + t[i] * params_[b + 2]));
      }
      break;
    default:
      break;
  }
}

void LineResiduals::evaluate(std::span<const double> solver, std::span<double> out) {
  model_values(solver);
  const float* __restrict y = y_.data();
  const float* __restrict e = error_.data();
  const double* __restrict sum = scratch_.sum_;
  double* __restrict r = out.data();
  for (std::size_t i = 0; i < m_; ++i) {
    r[i] = (static_cast<double>(y[i]) - sum[i]) / static_cast<double>(e[i]);
  }
}

void LineResiduals::evaluate_with_derivs(std::span<const double> solver, std::span<double> out,
                                         std::span<const std::span<double>> derivs) {
  model_values(solver);
  const std::size_t m = m_;
  const float* __restrict y = y_.data();
  const double* __restrict w = scratch_.w_;
  const double* __restrict t = scratch_.t_;
  const double* __restrict sum = scratch_.sum_;
  double* __restrict r = out.data();
  for (std::size_t i = 0; i < m; ++i) r[i] = (static_cast<double>(y[i]) - sum[i]) * w[i];

  const LineModel& model = layout_.model();
  // The column of solver parameter of model parameter p, or null when p's
  // solver parameter is fixed (its slot is empty).
  const auto slot = [&](std::size_t p) -> double* {
    const std::int32_t j = layout_.solver_of(p);
    const std::span<double> column = derivs[static_cast<std::size_t>(j)];
    return column.empty() ? nullptr : column.data();
  };
  const auto terms = [&](std::size_t k) {
    return ComponentTerms{z(k), g(k), w, params_[3 * k], params_[3 * k + 2]};
  };

  // Each untied parameter's own column first, then what the tied ones add
  // to their references' columns, component by component: one order of
  // sums whatever refers to what.
  for (std::size_t k = 0; k < model.components; ++k) {
    for (const Attribute a : kAttributes) {
      const std::size_t p = param_index(k, a);
      if (layout_.tied(p)) continue;
      if (double* column = slot(p)) attribute_column(a, terms(k), m, column, false, 1.0);
    }
  }
  const std::size_t b = 3 * model.components;
  if (double* column = model.baseline >= 0 ? slot(b) : nullptr) {
    for (std::size_t i = 0; i < m; ++i) column[i] = -w[i];
  }
  if (double* column = model.baseline >= 1 ? slot(b + 1) : nullptr) {
    for (std::size_t i = 0; i < m; ++i) column[i] = -t[i] * w[i];
  }
  if (double* column = model.baseline >= 2 ? slot(b + 2) : nullptr) {
    for (std::size_t i = 0; i < m; ++i) column[i] = -t[i] * t[i] * w[i];
  }
  for (std::size_t k = 0; k < model.components; ++k) {
    for (const Attribute a : kAttributes) {
      const std::size_t p = param_index(k, a);
      if (!layout_.tied(p)) continue;
      if (double* column = slot(layout_.reference_of(p))) {
        attribute_column(a, terms(k), m, column, true,
                         static_cast<double>(model.ties[k].amplitude_ratio));
      }
    }
  }
}

}  // namespace quillet::lines
