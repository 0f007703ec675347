// The line model's residuals and analytic derivatives: against central
// finite differences for every kind of model (each tie, each baseline
// order, one to six components, fixed parameters), and, for one component
// without baseline, bit for bit against the Gaussian model.
#include "lines/line_residuals.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "gaussian/gaussian_residuals.hpp"
#include "lines/line_spectra_test_support.hpp"

namespace quillet::lines {
namespace {

using testing::make_model;
using testing::noisy_window;

struct JacobianCase {
  std::string name;
  LineModel model;
  std::vector<double> params;  // model parameters (tied ones are formed from their references)
  // Printed by name: the bytes of the record would show its padding.
  friend void PrintTo(const JacobianCase& c, std::ostream* os) { *os << c.name; }
};

LineModel tied(LineModel model, std::size_t k, Attribute a, std::int32_t ref, float value = 0.0f) {
  ComponentTies& tie = model.ties[k];
  switch (a) {
    case Attribute::Amplitude:
      tie.amplitude_ref = ref;
      tie.amplitude_ratio = value;
      break;
    case Attribute::Centre:
      tie.centre_ref = ref;
      tie.centre_offset = value;
      break;
    case Attribute::Sigma:
      tie.sigma_ref = ref;
      break;
  }
  return model;
}

// Three lines over -100..100 km/s, with room for six.
std::vector<double> lines_params(std::size_t k, std::vector<double> baseline = {}) {
  std::vector<double> p;
  for (std::size_t i = 0; i < k; ++i) {
    const auto fi = static_cast<double>(i);
    p.insert(p.end(), {2.0 + 0.5 * fi, -75.0 + 30.0 * fi, 6.0 + fi});
  }
  p.insert(p.end(), baseline.begin(), baseline.end());
  return p;
}

std::vector<JacobianCase> jacobian_cases() {
  std::vector<JacobianCase> cases;
  for (std::size_t k = 1; k <= 6; ++k) {
    cases.push_back({"components_" + std::to_string(k), make_model(k, -1), lines_params(k)});
  }
  cases.push_back({"baseline_0", make_model(2, 0), lines_params(2, {0.3})});
  cases.push_back({"baseline_1", make_model(2, 1), lines_params(2, {0.3, -0.004})});
  cases.push_back({"baseline_2", make_model(2, 2), lines_params(2, {0.3, -0.004, 2e-5})});
  cases.push_back(
      {"centre_tie", tied(make_model(2, -1), 1, Attribute::Centre, 0, 30.0f), lines_params(2)});
  cases.push_back({"amplitude_tie", tied(make_model(2, -1), 1, Attribute::Amplitude, 0, 0.4f),
                   lines_params(2)});
  cases.push_back({"sigma_tie", tied(make_model(2, -1), 1, Attribute::Sigma, 0), lines_params(2)});
  // The [N II] + H-alpha shape: two lines tied in everything to a third,
  // which comes after one of them.
  LineModel triplet = make_model(3, 1);
  for (const std::size_t k : {0, 2}) {
    triplet = tied(triplet, k, Attribute::Centre, 1, k == 0 ? -30.0f : 40.0f);
    triplet = tied(triplet, k, Attribute::Sigma, 1);
  }
  triplet = tied(triplet, 0, Attribute::Amplitude, 2, 0.34f);
  cases.push_back({"tied_triplet", triplet, lines_params(3, {0.2, 0.001})});
  LineModel fixed_ref = tied(make_model(2, 0, {1, 3 * 2}), 1, Attribute::Centre, 0, 25.0f);
  cases.push_back({"tie_to_fixed_centre", fixed_ref, lines_params(2, {0.1})});
  return cases;
}

class LineJacobian : public ::testing::TestWithParam<JacobianCase> {};

TEST_P(LineJacobian, AnalyticColumnsMatchCentralDifferences) {
  const JacobianCase& c = GetParam();
  ASSERT_FALSE(check_line_model(c.model).has_value());
  const LineLayout layout(c.model);
  const testing::Window w = noisy_window(c.model, c.params, 81, -100.0, 2.5, 0.1, 7);
  LineScratch scratch(c.model.components, w.x.size());
  LineResiduals model(layout, w.x, w.y, w.error, scratch);
  const std::size_t m = w.x.size();
  const std::size_t ns = layout.solver_count();

  std::vector<double> solver(ns);
  for (std::size_t j = 0; j < ns; ++j) solver[j] = c.params[layout.param_of(j)];
  std::vector<std::vector<double>> columns(ns, std::vector<double>(m, 0.0));
  std::vector<std::span<double>> slots(ns);
  for (std::size_t j = 0; j < ns; ++j) {
    if (!c.model.fixed[layout.param_of(j)]) slots[j] = columns[j];
  }
  std::vector<double> r(m), plus(m), minus(m);
  model.evaluate_with_derivs(solver, r, slots);

  for (std::size_t j = 0; j < ns; ++j) {
    if (slots[j].empty()) {
      EXPECT_TRUE(std::ranges::all_of(columns[j], [](double v) { return v == 0.0; }));
      continue;
    }
    const double h = 1e-6 * std::max(1.0, std::fabs(solver[j]));
    std::vector<double> moved = solver;
    moved[j] = solver[j] + h;
    model.evaluate(moved, plus);
    moved[j] = solver[j] - h;
    model.evaluate(moved, minus);
    double scale = 0.0;
    for (const double v : columns[j]) scale = std::max(scale, std::fabs(v));
    ASSERT_GT(scale, 0.0) << "parameter " << layout.param_of(j);
    for (std::size_t i = 0; i < m; ++i) {
      const double numeric = (plus[i] - minus[i]) / (2.0 * h);
      EXPECT_NEAR(columns[j][i], numeric, 1e-6 * scale)
          << "parameter " << layout.param_of(j) << " sample " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Models, LineJacobian, ::testing::ValuesIn(jacobian_cases()),
                         [](const auto& test) { return test.param.name; });

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// One component without baseline: every residual and derivative the
// Gaussian model gives, bit for bit, along a run of points that reuses and
// renews the kept terms.
TEST(LineResiduals, OneComponentIsTheGaussianModelToTheBit) {
  const LineModel one = make_model(1, -1);
  const LineLayout layout(one);
  const std::vector<double> truth{2.5, 3.0, 9.0};
  for (const std::size_t n : {5, 40, 128, 300}) {
    const testing::Window w =
        noisy_window(one, truth, n, -60.0, 120.0 / static_cast<double>(n), 0.2, n);
    LineScratch scratch(1, n);
    LineResiduals line(layout, w.x, w.y, w.error, scratch);
    GaussianResiduals gaussian(w.x, w.y, w.error);
    for (const std::vector<double>& p : std::vector<std::vector<double>>{
             {2.0, 0.3, 7.5}, {2.0, 0.3, 7.5}, {2.7, 0.3, 7.5}, {2.7, 1.1, 7.5}, {0.0, 1.1, 9.0}}) {
      std::vector<double> a(n), b(n);
      line.evaluate(p, a);
      gaussian.evaluate(p, b);
      std::vector<std::vector<double>> ca(3, std::vector<double>(n)), cb = ca;
      const std::vector<std::span<double>> sa{ca[0], ca[1], ca[2]}, sb{cb[0], cb[1], cb[2]};
      std::vector<double> ra(n), rb(n);
      line.evaluate_with_derivs(p, ra, sa);
      gaussian.evaluate_with_derivs(p, rb, sb);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits(a[i]), bits(b[i])) << n << " " << i;
        ASSERT_EQ(bits(ra[i]), bits(rb[i])) << n << " " << i;
        for (std::size_t k = 0; k < 3; ++k) ASSERT_EQ(bits(ca[k][i]), bits(cb[k][i]));
      }
    }
  }
}

// Kept terms are those of the point asked for: a model that has seen other
// points gives what a fresh one gives.
TEST(LineResiduals, KeptTermsChangeNoBit) {
  const LineModel model = tied(make_model(3, 2), 2, Attribute::Centre, 0, 50.0f);
  const LineLayout layout(model);
  const std::vector<double> p = lines_params(3, {0.1, 0.0, 1e-5});
  const testing::Window w = noisy_window(model, p, 64, -100.0, 3.0, 0.1, 3);
  LineScratch used_scratch(3, 64), fresh_scratch(3, 64);
  LineResiduals used(layout, w.x, w.y, w.error, used_scratch);
  std::vector<double> solver(layout.solver_count()), other(layout.solver_count());
  for (std::size_t j = 0; j < solver.size(); ++j) solver[j] = p[layout.param_of(j)];
  other = solver;
  other[1] += 1.0;  // the first centre, and so the tied third
  std::vector<double> r(64), expected(64);
  used.evaluate(solver, r);
  used.evaluate(other, r);
  used.evaluate(solver, r);
  LineResiduals fresh(layout, w.x, w.y, w.error, fresh_scratch);
  fresh.evaluate(solver, expected);
  for (std::size_t i = 0; i < 64; ++i) EXPECT_EQ(bits(r[i]), bits(expected[i]));
}

}  // namespace
}  // namespace quillet::lines
