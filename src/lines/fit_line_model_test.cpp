// The line fit: the Gaussian fit's bits for one component, recovery of
// known truths with pulls distributed as N(0, 1) over many noisy windows
// (each tie, each baseline order, one to six components, a line at the
// window's edge), starts outside their bounds, fixed parameters, and too
// few samples.
#include "lines/fit_line_model.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "gaussian/fit_bounded_gaussian.hpp"
#include "lines/line_spectra_test_support.hpp"

namespace quillet::lines {
namespace {

using testing::make_model;
using testing::noisy_window;

constexpr FitTolerances kTolerances{1e-6f, 1e-6f, 1e-6f, 2000};
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Bounds {
  std::vector<float> initial, lower, upper;
  LineStart start() const { return {initial, lower, upper}; }
};

// Starts a little off the truth; amplitudes within (0, 4 x truth + 1),
// centres within 15 km/s, sigmas within (1, 3 x truth); the baseline unbounded.
Bounds bounds_round(const LineModel& model, const std::vector<double>& truth) {
  Bounds b;
  for (std::size_t p = 0; p < truth.size(); ++p) {
    const auto t = static_cast<float>(truth[p]);
    if (p >= 3 * model.components) {
      b.initial.push_back(0.0f);
      b.lower.push_back(-kInf);
      b.upper.push_back(kInf);
      continue;
    }
    switch (p % 3) {
      case 0:
        b.initial.push_back(0.8f * t);
        b.lower.push_back(0.0f);
        b.upper.push_back(4.0f * t + 1.0f);
        break;
      case 1:
        b.initial.push_back(t + 3.0f);
        b.lower.push_back(t - 15.0f);
        b.upper.push_back(t + 15.0f);
        break;
      default:
        b.initial.push_back(1.2f * t);
        b.lower.push_back(1.0f);
        b.upper.push_back(3.0f * t);
        break;
    }
  }
  return b;
}

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

TEST(FitLineModel, OneComponentGivesTheGaussianFitsBits) {
  const LineModel one = make_model(1, -1);
  const LineLayout layout(one);
  LineFitter fitter(layout, kTolerances, 200);
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    const std::vector<double> truth{1.0, 0.02 * static_cast<double>(seed),
                                    5.0 + 0.1 * static_cast<double>(seed)};
    const testing::Window w = noisy_window(one, truth, 31 + seed % 7 * 20, -30.0, 1.7, 0.08, seed);
    const BoundedGaussianProblem problem{
        w.x,        w.y, w.error, {1.0f, 0.5f, 6.0f}, {0.2f, 3.0f, -10.0f, 10.0f, 1.7f, 40.0f},
        kTolerances};
    const std::optional<GaussianFit> expected = fit_bounded_gaussian(problem);
    ASSERT_TRUE(expected.has_value());
    const Bounds b{{1.0f, 0.5f, 6.0f}, {0.2f, -10.0f, 1.7f}, {3.0f, 10.0f, 40.0f}};
    const LineFit got = fitter.fit(w.x, w.y, w.error, b.start());
    ASSERT_EQ(got.flag, LineFlag::Success);
    EXPECT_EQ(bits(static_cast<float>(got.params[0])), bits(expected->amplitude)) << seed;
    EXPECT_EQ(bits(static_cast<float>(got.params[1])), bits(expected->centre)) << seed;
    EXPECT_EQ(bits(static_cast<float>(got.params[2])), bits(expected->sigma)) << seed;
    EXPECT_EQ(bits(static_cast<float>(got.chi2)), bits(expected->chi2)) << seed;
  }
}

struct RecoveryCase {
  std::string name;
  LineModel model;
  std::vector<double> truth;  // tied entries consistent with their ties
  double v0 = -150.0;         // the window: 121 samples of 2.5 km/s from v0
  // Printed by name: the bytes of the record would show its padding.
  friend void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<double> separated_lines(std::size_t k, std::vector<double> baseline = {}) {
  std::vector<double> p;
  for (std::size_t i = 0; i < k; ++i) {
    const auto fi = static_cast<double>(i);
    p.insert(p.end(), {3.0 + 0.4 * fi, -110.0 + 45.0 * fi, 6.0 + 0.5 * fi});
  }
  p.insert(p.end(), baseline.begin(), baseline.end());
  return p;
}

std::vector<RecoveryCase> recovery_cases() {
  std::vector<RecoveryCase> cases;
  for (std::size_t k = 1; k <= 6; ++k) {
    cases.push_back({"components_" + std::to_string(k), make_model(k, -1), separated_lines(k)});
  }
  cases.push_back({"baseline_0", make_model(1, 0), separated_lines(1, {0.5})});
  cases.push_back({"baseline_1", make_model(1, 1), separated_lines(1, {0.5, 0.003})});
  cases.push_back({"baseline_2", make_model(1, 2), separated_lines(1, {0.5, 0.003, -2e-5})});
  LineModel centre = make_model(2, -1);
  centre.ties[1].centre_ref = 0;
  centre.ties[1].centre_offset = 45.0f;
  cases.push_back({"centre_tie", centre, separated_lines(2)});
  LineModel amplitude = make_model(2, -1);
  amplitude.ties[1].amplitude_ref = 0;
  amplitude.ties[1].amplitude_ratio = 0.5f;
  cases.push_back({"amplitude_tie", amplitude, {3.0, -110.0, 6.0, 1.5, -65.0, 6.5}});
  LineModel sigma = make_model(2, -1);
  sigma.ties[1].sigma_ref = 0;
  cases.push_back({"sigma_tie", sigma, {3.0, -110.0, 6.0, 3.4, -65.0, 6.0}});
  // H-alpha and [N II] 6548, 6583 as the fit sees them: one velocity, one
  // width, 6548 a third of 6583, on a sloping continuum.
  LineModel triplet = make_model(3, 1);
  triplet.ties[0] = {.amplitude_ref = 2,
                     .amplitude_ratio = 1.0f / 3.0f,
                     .centre_ref = 1,
                     .centre_offset = -675.0f,
                     .sigma_ref = 1};
  triplet.ties[2] = {.centre_ref = 1, .centre_offset = 940.0f, .sigma_ref = 1};
  cases.push_back({"halpha_nii",
                   triplet,
                   {1.0, -655.0, 40.0, 5.0, 20.0, 40.0, 3.0, 960.0, 40.0, 0.3, 1e-4},
                   -900.0});
  // A line whose centre lies 2 km/s inside the window's first sample.
  cases.push_back({"edge_line", make_model(1, 0), {3.0, -148.0, 6.0, 0.4}});
  return cases;
}

class Recovery : public ::testing::TestWithParam<RecoveryCase> {};

// Over 300 noisy windows, every free and tied parameter's pull (fit - truth)
// / error has a mean within 0.2 of 0 and a spread within 15 % of 1: the fit
// finds the truth and its errors are the noise's.
TEST_P(Recovery, PullsAreStandardNormal) {
  const RecoveryCase& c = GetParam();
  ASSERT_FALSE(check_line_model(c.model).has_value());
  const LineLayout layout(c.model);
  const double dv = c.name == "halpha_nii" ? 15.0 : 2.5;
  constexpr std::size_t kSamples = 121;
  constexpr int kSeeds = 300;
  LineFitter fitter(layout, kTolerances, kSamples);
  const Bounds b = bounds_round(c.model, c.truth);
  const std::size_t np = c.truth.size();
  std::vector<double> sum(np, 0.0), sum2(np, 0.0);
  for (int seed = 0; seed < kSeeds; ++seed) {
    const testing::Window w = noisy_window(c.model, c.truth, kSamples, c.v0, dv, 0.1,
                                           static_cast<std::uint64_t>(seed) + 1000);
    const LineFit fit = fitter.fit(w.x, w.y, w.error, b.start());
    ASSERT_EQ(fit.flag, LineFlag::Success) << seed;
    ASSERT_EQ(fit.samples, kSamples);
    ASSERT_EQ(fit.nfree, layout.free_count());
    for (std::size_t p = 0; p < np; ++p) {
      ASSERT_GT(fit.errors[p], 0.0) << p;
      const double pull = (fit.params[p] - c.truth[p]) / fit.errors[p];
      sum[p] += pull;
      sum2[p] += pull * pull;
    }
  }
  for (std::size_t p = 0; p < np; ++p) {
    const double mean = sum[p] / kSeeds;
    const double spread = std::sqrt(sum2[p] / kSeeds - mean * mean);
    EXPECT_NEAR(mean, 0.0, 0.2) << "parameter " << p;
    EXPECT_NEAR(spread, 1.0, 0.15) << "parameter " << p;
  }
}

INSTANTIATE_TEST_SUITE_P(Models, Recovery, ::testing::ValuesIn(recovery_cases()),
                         [](const auto& test) { return test.param.name; });

// A start beyond a bound starts on it: the same bits as starting there. A
// fixed parameter keeps its start, with error 0.
TEST(FitLineModel, StartsAreClampedAndFixedOnesKept) {
  const LineModel model = make_model(2, 0, {5});
  const std::vector<double> truth{3.0, -20.0, 6.0, 2.0, 25.0, 8.0, 0.4};
  const LineLayout layout(model);
  LineFitter fitter(layout, kTolerances, 121);
  const testing::Window w = noisy_window(model, truth, 121, -150.0, 2.5, 0.1, 5);
  Bounds outside = bounds_round(model, truth);
  outside.initial[0] = 50.0f;    // above its upper bound 13
  outside.initial[4] = -100.0f;  // below its lower bound 10
  outside.initial[5] = 8.0f;     // fixed: bounds not read
  outside.lower[5] = 20.0f;
  Bounds on = outside;
  on.initial[0] = on.upper[0];
  on.initial[4] = on.lower[4];
  const LineFit a = fitter.fit(w.x, w.y, w.error, outside.start());
  const LineFit b = fitter.fit(w.x, w.y, w.error, on.start());
  ASSERT_EQ(a.flag, LineFlag::Success);
  EXPECT_EQ(a.params, b.params);
  EXPECT_EQ(a.errors, b.errors);
  EXPECT_EQ(a.params[5], 8.0);
  EXPECT_EQ(a.errors[5], 0.0);
  EXPECT_EQ(a.nfree, 6u);
  EXPECT_NEAR(a.params[4], 25.0, 1.0);
}

TEST(FitLineModel, FewerSamplesThanFreeParametersIsFlagged) {
  const LineModel model = make_model(2, 1);  // 8 free
  const LineLayout layout(model);
  LineFitter fitter(layout, kTolerances, 16);
  const std::vector<double> truth{3.0, -5.0, 2.0, 2.0, 5.0, 2.0, 0.1, 0.0};
  const Bounds b = bounds_round(model, truth);
  for (const std::size_t n : {0, 1, 7}) {
    const testing::Window w =
        noisy_window(model, truth, std::max<std::size_t>(n, 1), -10.0, 1.0, 0.1, 9);
    const std::span<const float> x(w.x.data(), n), y(w.y.data(), n), e(w.error.data(), n);
    const LineFit fit = fitter.fit(x, y, e, b.start());
    EXPECT_EQ(fit.flag, LineFlag::TooFewSamples) << n;
    EXPECT_EQ(fit.samples, n);
  }
  const testing::Window w = noisy_window(model, truth, 8, -10.0, 2.5, 0.1, 9);
  EXPECT_NE(fitter.fit(w.x, w.y, w.error, b.start()).flag, LineFlag::TooFewSamples);
}

}  // namespace
}  // namespace quillet::lines
