#include "spectrum/fit_spectrum_window.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gaussian/fit_bounded_gaussian.hpp"
#include "gaussian/reduced_chi2.hpp"
#include "solver/testing/case_names.hpp"
#include "testing/example_spectrum_params.hpp"

namespace quillet {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A spectrum on an even axis of 10 km/s pixels with pixel 50 at 0 km/s, no
// signal and no usable noise: any window found is reported with
// FLAG_NO_LOCAL_MAX before a fit is tried, which isolates the peak and window
// rules from the fit.
struct Spectrum {
  std::vector<float> flux;
  std::vector<float> velocity;
  std::vector<float> noise;

  explicit Spectrum(std::size_t n = 100) : flux(n, 0.0f), velocity(n), noise(n, 0.0f) {
    set_axis([](std::size_t i) { return 10.0f * static_cast<float>(i) - 500.0f; });
  }

  void set_axis(float (*velocity_of)(std::size_t)) {
    for (std::size_t i = 0; i < velocity.size(); ++i) velocity[i] = velocity_of(i);
  }

  // Adds amplitude * exp(-((v - centre) / sigma)^2 / 2) and sets every noise value.
  void add_line(float amplitude, float centre, float sigma, float noise_level) {
    for (std::size_t i = 0; i < flux.size(); ++i) {
      const double z = (static_cast<double>(velocity[i]) - centre) / sigma;
      flux[i] += static_cast<float>(amplitude * std::exp(-0.5 * z * z));
      noise[i] = noise_level;
    }
  }
};

SpectrumFitOutcome run(const Spectrum& s, float guide, const SpectrumFitParams& params) {
  return fit_spectrum_window(s.flux, s.velocity, s.noise, guide, params);
}

std::vector<std::uint32_t> bits(const FitResult& result) {
  std::vector<std::uint32_t> out;
  for (float v : result.values) out.push_back(std::bit_cast<std::uint32_t>(v));
  return out;
}

void expect_window(const SpectrumFitOutcome& outcome, Window expected) {
  EXPECT_EQ(outcome.window.i_left, expected.i_left);
  EXPECT_EQ(outcome.window.i_right, expected.i_right);
}

void expect_failure(const SpectrumFitOutcome& outcome, float flag, Window window) {
  EXPECT_EQ(bits(outcome.result), bits(FitResult::failure(flag)));
  expect_window(outcome, window);
}

// --- Window shape --------------------------------------------------------

struct WindowCase {
  std::int64_t peak;
  std::int32_t npix;
  Window expected;
};

class WindowShape : public testing::TestWithParam<WindowCase> {};

TEST_P(WindowShape, IsCutRoundThePeakAndWidenedOnceWhenClipped) {
  const WindowCase c = GetParam();
  Spectrum s;
  s.flux[c.peak] = 1.0f;
  SpectrumFitParams params = example_spectrum_params();
  params.npix = c.npix;
  expect_failure(run(s, s.velocity[c.peak], params), kFlagNoLocalMax, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pixels, WindowShape,
    testing::Values(WindowCase{50, 3, {47, 54}},   // whole: 2h + 1 pixels
                    WindowCase{0, 3, {0, 5}},      // [0, 4) clipped, widened to h + 1
                    WindowCase{99, 3, {95, 100}},  // [96, 100) clipped, widened
                    WindowCase{1, 3, {0, 6}}, WindowCase{2, 3, {0, 7}},
                    WindowCase{3, 3, {0, 7}},  // just fits: not widened
                    WindowCase{96, 3, {93, 100}}, WindowCase{97, 3, {93, 100}},
                    WindowCase{0, 1, {0, 3}}, WindowCase{50, 1, {49, 52}},
                    WindowCase{50, 200, {0, 100}},  // clipped at both ends
                    // p + h + 2 must not overflow.
                    WindowCase{50, std::numeric_limits<std::int32_t>::max(), {0, 100}}),
    [](const auto& param_info) {
      const auto& c = param_info.param;
      return test_support::case_name(param_info.index,
                                     test_support::label_of("peak", c.peak, "npix", c.npix));
    });

// --- Peak search and acceptance -----------------------------------------

struct PeakCase {
  const char* name;
  float guide;
  void (*setup)(Spectrum&, SpectrumFitParams&);
  Window expected;  // (0, 0): no acceptable peak
};

std::string peak_case_name(const testing::TestParamInfo<PeakCase>& param_info) {
  return param_info.param.name;
}

class PeakRules : public testing::TestWithParam<PeakCase> {};

TEST_P(PeakRules, FindTheExpectedPeakOrNone) {
  const PeakCase& c = GetParam();
  Spectrum s;
  SpectrumFitParams params = example_spectrum_params();
  c.setup(s, params);
  expect_failure(run(s, c.guide, params), kFlagNoLocalMax, c.expected);
}

// Every velocity of the even axis once, in a scrambled pixel order: pixel 7
// sits at 90 km/s, pixel 8 at 460 km/s and pixel 26 at 120 km/s.
float shuffled_axis(std::size_t i) { return 10.0f * static_cast<float>((i * 37) % 100) - 500.0f; }

// Pixels closer in velocity towards the blue end: pixel 50 at 250 km/s,
// 51 at 260.1, 53 at 280.9.
float uneven_axis(std::size_t i) {
  const float fi = static_cast<float>(i);
  return 0.1f * fi * fi;
}

using S = Spectrum;
using P = SpectrumFitParams;

INSTANTIATE_TEST_SUITE_P(
    Rules, PeakRules,
    testing::Values(
        PeakCase{"EqualMaximaLowerIndexWins",
                 0.0f,
                 [](S& s, P& p) {
                   p.velocity_range = 25.0f;
                   s.flux[48] = 1.0f;
                   s.flux[52] = 1.0f;
                 },
                 {45, 52}},
        PeakCase{"NaNIntensityNeverQualifies",
                 0.0f,
                 [](S& s, P&) {
                   s.flux[50] = kNaN;
                   s.flux[51] = 1.0f;
                 },
                 {48, 55}},
        PeakCase{"NaNVelocityNeverQualifies",
                 0.0f,
                 [](S& s, P&) {
                   s.flux[50] = 5.0f;
                   s.velocity[50] = kNaN;
                   s.flux[51] = 1.0f;
                 },
                 {48, 55}},
        PeakCase{"BrightestInOuterMarginRejects",
                 0.0f,
                 [](S& s, P&) {
                   s.flux[50] = 1.0f;
                   s.flux[53] = 2.0f;  // 30 km/s: inside R = 35, outside V = 15
                 },
                 {0, 0}},
        PeakCase{"SearchRadiusEdgeIsInside",
                 5.0f,
                 [](S& s, P&) {
                   s.flux[50] = 1.0f;
                   s.flux[54] = 2.0f;  // exactly R = 35 km/s from the guide
                 },
                 {0, 0}},
        PeakCase{"BrightestBeyondRadiusIgnored",
                 0.0f,
                 [](S& s, P&) {
                   s.flux[50] = 1.0f;
                   s.flux[54] = 2.0f;  // 40 km/s
                 },
                 {47, 54}},
        PeakCase{"ZeroSlackShrinksSearch",
                 0.0f,
                 [](S& s, P& p) {
                   p.npix_slack = 0;
                   s.flux[50] = 1.0f;
                   s.flux[53] = 2.0f;
                 },
                 {47, 54}},
        PeakCase{"AcceptedIntervalEdgeIsInside",
                 5.0f,
                 [](S& s, P&) {
                   s.flux[50] = 1.0f;
                   s.flux[52] = 2.0f;  // exactly V = 15 km/s from the guide
                 },
                 {49, 56}},
        PeakCase{"ZeroMaximumIsNoPeak",
                 0.0f,
                 [](S& s, P&) {
                   for (float& f : s.flux) f = -1.0f;
                   s.flux[50] = 0.0f;
                 },
                 {0, 0}},
        PeakCase{
            "PositivePixelsOnlyOutsideRadius", 0.0f, [](S& s, P&) { s.flux[10] = 5.0f; }, {0, 0}},
        PeakCase{"NaNGuide", kNaN, [](S& s, P&) { s.flux[50] = 1.0f; }, {0, 0}},
        PeakCase{"InfiniteGuide", kInf, [](S& s, P&) { s.flux[50] = 1.0f; }, {0, 0}},
        PeakCase{"NegativeInfiniteGuide", -kInf, [](S& s, P&) { s.flux[50] = 1.0f; }, {0, 0}},
        PeakCase{"ReversedAxis",
                 200.0f,
                 [](S& s, P&) {
                   s.set_axis([](std::size_t i) { return 500.0f - 10.0f * static_cast<float>(i); });
                   s.flux[30] = 1.0f;
                   s.flux[70] = 9.0f;  // at -200 km/s
                 },
                 {27, 34}},
        PeakCase{"ShuffledAxisSelectsByVelocity",
                 90.0f,
                 [](S& s, P&) {
                   s.set_axis(shuffled_axis);
                   s.flux[7] = 1.0f;  // at 90 km/s
                   s.flux[8] = 5.0f;  // next pixel, but at 460 km/s
                 },
                 {4, 11}},
        PeakCase{"ShuffledAxisMarginByVelocity",
                 90.0f,
                 [](S& s, P&) {
                   s.set_axis(shuffled_axis);
                   s.flux[7] = 1.0f;
                   s.flux[26] = 2.0f;  // at 120 km/s: inside R, outside V
                 },
                 {0, 0}},
        PeakCase{"UnevenAxis",
                 250.0f,
                 [](S& s, P&) {
                   s.set_axis(uneven_axis);
                   s.flux[50] = 1.0f;
                   s.flux[51] = 2.0f;
                 },
                 {48, 55}},
        PeakCase{"UnevenAxisMargin",
                 250.0f,
                 [](S& s, P&) {
                   s.set_axis(uneven_axis);
                   s.flux[50] = 1.0f;
                   s.flux[53] = 2.0f;  // at 280.9: inside R, outside V
                 },
                 {0, 0}}),
    peak_case_name);

// --- Sample filter ---------------------------------------------------------

struct SampleCase {
  const char* name;
  void (*spoil)(Spectrum&, std::size_t pixel);
};

std::string sample_case_name(const testing::TestParamInfo<SampleCase>& param_info) {
  return param_info.param.name;
}

class SampleFilter : public testing::TestWithParam<SampleCase> {};

// The window (47, 54) holds seven pixels. Spoiling five leaves two samples,
// too few for three parameters: FLAG_NO_LOCAL_MAX, yet with the window. With
// one more sample left, the fit is tried.
TEST_P(SampleFilter, FewerThanThreeValidSamplesReportTheWindow) {
  const std::vector<std::size_t> two_left = {47, 48, 49, 51, 52};
  const std::vector<std::size_t> three_left = {47, 48, 49, 51};
  for (const auto* spoiled : {&two_left, &three_left}) {
    Spectrum s;
    s.add_line(1.0f, 0.0f, 20.0f, 0.01f);
    for (const std::size_t k : *spoiled) GetParam().spoil(s, k);
    const SpectrumFitOutcome outcome = run(s, 0.0f, example_spectrum_params());
    if (spoiled == &two_left) {
      expect_failure(outcome, kFlagNoLocalMax, {47, 54});
    } else {
      EXPECT_NE(outcome.result.values[7], kFlagNoLocalMax);
      expect_window(outcome, {47, 54});
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Spoilers, SampleFilter,
    testing::Values(SampleCase{"ZeroNoise", [](S& s, std::size_t k) { s.noise[k] = 0.0f; }},
                    SampleCase{"NegativeNoise", [](S& s, std::size_t k) { s.noise[k] = -0.01f; }},
                    SampleCase{"NaNNoise", [](S& s, std::size_t k) { s.noise[k] = kNaN; }},
                    SampleCase{"InfiniteNoise", [](S& s, std::size_t k) { s.noise[k] = kInf; }},
                    SampleCase{"NaNIntensity", [](S& s, std::size_t k) { s.flux[k] = kNaN; }},
                    SampleCase{"NaNVelocity", [](S& s, std::size_t k) { s.velocity[k] = kNaN; }},
                    SampleCase{"InfiniteVelocity",
                               [](S& s, std::size_t k) { s.velocity[k] = -kInf; }}),
    sample_case_name);

TEST(SampleFilter, PositiveSubnormalNoiseCounts) {
  Spectrum s;
  s.flux[50] = 1.0f;
  for (std::size_t k = 50; k < 53; ++k) s.noise[k] = std::numeric_limits<float>::denorm_min();
  const SpectrumFitOutcome outcome = run(s, 0.0f, example_spectrum_params());
  EXPECT_NE(outcome.result.values[7], kFlagNoLocalMax);
  expect_window(outcome, {47, 54});
}

// --- Fits ------------------------------------------------------------------

// A line of amplitude 3 at 4 km/s with sigma 25 km/s on the 10 km/s axis,
// with a deterministic ripple of the noise level's size. Pixel 50 (0 km/s) is
// the brightest; npix = 8 gives the window (42, 59).
Spectrum rippled_line() {
  Spectrum s;
  s.add_line(3.0f, 4.0f, 25.0f, 0.01f);
  for (std::size_t i = 0; i < s.flux.size(); ++i) {
    s.flux[i] += 0.01f * static_cast<float>(std::sin(1.3 * static_cast<double>(i)));
  }
  return s;
}

SpectrumFitParams line_params() {
  SpectrumFitParams params = example_spectrum_params();
  params.npix = 8;
  return params;
}

TEST(FitSpectrumWindow, RecoversACleanLine) {
  const SpectrumFitOutcome outcome = run(rippled_line(), 0.0f, line_params());
  const auto& v = outcome.result.values;
  ASSERT_EQ(v[7], kFlagSuccess);
  expect_window(outcome, {42, 59});
  EXPECT_NEAR(v[0], 3.0f, 0.02f);
  EXPECT_NEAR(v[1], 4.0f, 0.2f);
  EXPECT_NEAR(v[2], 25.0f, 0.2f);
  for (int k = 3; k < 6; ++k) {
    EXPECT_TRUE(std::isfinite(v[k]) && v[k] > 0.0f) << "error " << k << " = " << v[k];
  }
  // Each error is of the size the ripple explains, not far larger.
  EXPECT_LT(std::abs(v[0] - 3.0f), 5.0f * v[3]);
  EXPECT_LT(std::abs(v[1] - 4.0f), 5.0f * v[4]);
  EXPECT_LT(std::abs(v[2] - 25.0f), 5.0f * v[5]);
  // A ripple of amplitude sigma has a mean square of sigma^2 / 2.
  EXPECT_GT(v[6], 0.1f);
  EXPECT_LT(v[6], 2.0f);
}

// The fit core sees exactly the valid samples of the window divided by the
// peak value, starts at (1, w, width_guess) and is bounded by the relative
// amplitudes, w -/+ npix * dv and the widths. Pinned bit for bit, with two
// samples of the window unusable so that the sample count matters too.
TEST(FitSpectrumWindow, HandsTheFitCoreTheNormalisedWindow) {
  Spectrum s = rippled_line();
  s.noise[44] = 0.0f;
  s.velocity[55] = kNaN;
  const SpectrumFitParams params = line_params();
  const SpectrumFitOutcome outcome = run(s, 0.0f, params);

  const float best = s.flux[50];
  const float w = s.velocity[50];
  const float hw = 10.0f * 8.0f;
  std::vector<float> x, y, e;
  for (std::size_t k = 42; k < 59; ++k) {
    if (k == 44 || k == 55) continue;
    x.push_back(s.velocity[k]);
    y.push_back(s.flux[k] / best);
    e.push_back(s.noise[k] / best);
  }
  const std::optional<GaussianFit> fit = fit_bounded_gaussian({
      .x = x,
      .y = y,
      .error = e,
      .initial = {1.0f, w, 20.0f},
      .bounds = {0.1f, 2.0f, w - hw, w + hw, 1.0f, 200.0f},
      .tolerances = params.tolerances,
  });
  ASSERT_TRUE(fit.has_value());
  const FitResult expected{{fit->amplitude * best, fit->centre, fit->sigma,
                            best * fit->amplitude_error, fit->centre_error, fit->sigma_error,
                            reduced_chi2(fit->chi2, 15), kFlagSuccess}};
  EXPECT_EQ(bits(outcome.result), bits(expected));
  expect_window(outcome, {42, 59});
}

// Doubling is exact in float: the normalised window, and so the fit, are the
// same to the bit, and only the amplitude and its error double.
TEST(FitSpectrumWindow, DoublingSpectrumAndNoiseDoublesOnlyTheAmplitude) {
  const Spectrum s = rippled_line();
  Spectrum doubled = s;
  for (float& f : doubled.flux) f *= 2.0f;
  for (float& e : doubled.noise) e *= 2.0f;
  const SpectrumFitOutcome once = run(s, 0.0f, line_params());
  const SpectrumFitOutcome twice = run(doubled, 0.0f, line_params());
  ASSERT_EQ(once.result.values[7], kFlagSuccess);
  std::vector<std::uint32_t> expected = bits(once.result);
  expected[0] = std::bit_cast<std::uint32_t>(2.0f * once.result.values[0]);
  expected[3] = std::bit_cast<std::uint32_t>(2.0f * once.result.values[3]);
  EXPECT_EQ(bits(twice.result), expected);
  expect_window(twice, {42, 59});
}

// Only the first sg_xpixels pixels are read; a brighter line beyond them, at
// the guide velocity, changes nothing.
TEST(FitSpectrumWindow, PixelsBeyondSgXpixelsAreNotRead) {
  const Spectrum s = rippled_line();
  Spectrum longer = s;
  longer.flux.resize(150, 100.0f);
  longer.velocity.resize(150, 0.0f);
  longer.noise.resize(150, 0.01f);
  const SpectrumFitOutcome cut = run(s, 0.0f, line_params());
  const SpectrumFitOutcome full = run(longer, 0.0f, line_params());
  ASSERT_EQ(cut.result.values[7], kFlagSuccess);
  EXPECT_EQ(bits(full.result), bits(cut.result));
  expect_window(full, {42, 59});
}

// A window of 601 pixels takes its samples from the heap rather than the
// stack buffers of 512.
TEST(FitSpectrumWindow, LongWindowFitsTheSame) {
  Spectrum s(1000);
  s.set_axis([](std::size_t i) { return 10.0f * static_cast<float>(i) - 5000.0f; });
  s.add_line(3.0f, 4.0f, 25.0f, 0.01f);
  SpectrumFitParams params = example_spectrum_params();
  params.sg_xpixels = 1000;
  params.npix = 300;
  const SpectrumFitOutcome outcome = run(s, 0.0f, params);
  ASSERT_EQ(outcome.result.values[7], kFlagSuccess);
  expect_window(outcome, {200, 801});
  EXPECT_NEAR(outcome.result.values[0], 3.0f, 1e-3f);
  EXPECT_NEAR(outcome.result.values[1], 4.0f, 1e-2f);
  EXPECT_NEAR(outcome.result.values[2], 25.0f, 1e-2f);
}

TEST(FitSpectrumWindow, IterationLimitIsNoConvergence) {
  SpectrumFitParams params = line_params();
  params.tolerances.max_iter = 1;
  expect_failure(run(rippled_line(), 0.0f, params), kFlagNoConvergence, {42, 59});
}

// Centre bounds that collapse to one float (ulp 64 at 1e9 km/s, hw = 30) or
// overflow to infinity make a problem the fit core refuses.
TEST(FitSpectrumWindow, UnusableCentreBoundsAreNoConvergence) {
  Spectrum far;
  far.set_axis([](std::size_t i) { return 1e9f + 128.0f * static_cast<float>(i); });
  far.add_line(1.0f, far.velocity[50], 300.0f, 0.01f);
  expect_failure(run(far, far.velocity[50], example_spectrum_params()), kFlagNoConvergence,
                 {47, 54});

  Spectrum s;
  s.add_line(1.0f, 0.0f, 20.0f, 0.01f);
  SpectrumFitParams params = example_spectrum_params();
  params.npix_slack = 0;
  params.dv = 3e38f;
  expect_failure(run(s, 0.0f, params), kFlagNoConvergence, {47, 54});
}

}  // namespace
}  // namespace quillet
