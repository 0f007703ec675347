#include "spectrum/peak_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "solver/testing/case_names.hpp"

namespace quillet {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// --- Axis order ---------------------------------------------------------

struct OrderCase {
  std::vector<float> axis;
  AxisOrder expected;
};

class AxisOrderOf : public testing::TestWithParam<OrderCase> {};

TEST_P(AxisOrderOf, ClassifiesTheAxis) {
  EXPECT_EQ(axis_order(GetParam().axis), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Axes, AxisOrderOf,
    testing::Values(
        OrderCase{{1, 2, 3}, AxisOrder::Ascending},
        OrderCase{{1, 1, 2, 2}, AxisOrder::Ascending},  // plateaus allowed
        OrderCase{{-kInf, 0, kInf}, AxisOrder::Ascending}, OrderCase{{5}, AxisOrder::Ascending},
        OrderCase{{3, 2, 1}, AxisOrder::Descending}, OrderCase{{3, 3, 1}, AxisOrder::Descending},
        OrderCase{{1, 3, 2}, AxisOrder::Unsorted},
        OrderCase{{1, kNaN, 3}, AxisOrder::Unsorted},  // NaN anywhere: unsorted
        OrderCase{{kNaN}, AxisOrder::Unsorted}, OrderCase{{1, 2, kNaN}, AxisOrder::Unsorted}),
    [](const auto& param_info) {
      const auto& c = param_info.param;
      return test_support::case_name(
          param_info.index,
          test_support::label_of(c.axis.size(), "pixels_order", static_cast<int>(c.expected)));
    });

// --- The run of an ordered axis gives the full scan's answer -------------

struct Search {
  std::vector<float> spectrum;
  std::vector<float> axis;
  float guide;
  float radius;
};

std::optional<Peak> scan(const Search& s, AxisOrder order) {
  return find_peak(s.spectrum, s.axis, s.guide, s.radius, order);
}

// The rule as stated: one pass in pixel order, strict comparison.
std::optional<Peak> serial_scan(const Search& s) {
  float best = -kInf;
  std::int64_t p = 0;
  for (std::size_t i = 0; i < s.axis.size(); ++i) {
    if (std::abs(s.axis[i] - s.guide) <= s.radius && s.spectrum[i] > best) {
      best = s.spectrum[i];
      p = static_cast<std::int64_t>(i);
    }
  }
  if (!(best > 0.0f)) return std::nullopt;
  return Peak{p, best};
}

void expect_same_peak(const std::optional<Peak>& got, const std::optional<Peak>& want) {
  ASSERT_EQ(got.has_value(), want.has_value());
  if (!want) return;
  EXPECT_EQ(got->pixel, want->pixel);
  EXPECT_EQ(got->value, want->value);
}

struct KnownCase {
  const char* name;
  Search search;
  std::optional<std::int64_t> pixel;  // what the full scan finds
};

class KnownPeak : public testing::TestWithParam<KnownCase> {};

TEST_P(KnownPeak, IsFoundByEveryOrderThatHolds) {
  const KnownCase& c = GetParam();
  const std::optional<Peak> full = scan(c.search, AxisOrder::Unsorted);
  expect_same_peak(full, serial_scan(c.search));
  ASSERT_EQ(full.has_value(), c.pixel.has_value());
  if (c.pixel) {
    EXPECT_EQ(full->pixel, *c.pixel);
  }

  const AxisOrder order = axis_order(c.search.axis);
  expect_same_peak(scan(c.search, order), full);
  // The same search on the mirrored axis meets the descending (or
  // ascending) branch and must find the mirrored pixel.
  Search mirrored = c.search;
  std::ranges::reverse(mirrored.axis);
  std::ranges::reverse(mirrored.spectrum);
  expect_same_peak(scan(mirrored, axis_order(mirrored.axis)), scan(mirrored, AxisOrder::Unsorted));
}

std::string known_case_name(const testing::TestParamInfo<KnownCase>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KnownPeak,
    testing::Values(
        // Pixels at 0..9 km/s; radius 2 round 4.5 takes pixels 3..6.
        KnownCase{"InsideTheRun",
                  {{9, 1, 1, 2, 5, 3, 1, 1, 1, 9}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 4.5f, 2},
                  4},
        // Equal maxima: the lower index wins, as in the scan.
        KnownCase{"TieGoesLow",
                  {{0, 0, 0, 7, 7, 7, 0, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 4, 1},
                  3},
        // A distance of exactly the radius qualifies at both ends.
        KnownCase{"EndsAreInclusive",
                  {{0, 0, 3, 0, 0, 0, 4, 0, 0, 0}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 4, 2},
                  6},
        KnownCase{"ZeroRadius", {{1, 1, 1, 1, 5, 1}, {0, 1, 2, 3, 4, 5}, 3, 0}, 3},
        KnownCase{"GuideBeyondTheAxis", {{1, 1, 1}, {0, 1, 2}, 100, 5}, std::nullopt},
        KnownCase{"RunAtTheStart", {{3, 2, 1, 9}, {0, 1, 2, 3}, -1, 1.5f}, 0},
        KnownCase{"RunAtTheEnd", {{9, 1, 2, 3}, {0, 1, 2, 3}, 4, 1.5f}, 3},
        // Plateaus: equal velocities are equally far from the guide.
        KnownCase{"Plateaus", {{1, 2, 6, 6, 3, 8}, {0, 0, 1, 1, 2, 2}, 1, 0.5f}, 2},
        // Infinite velocities are farther than any finite radius.
        KnownCase{"InfiniteEnds", {{9, 1, 4, 9}, {-kInf, 0, 1, kInf}, 0.5f, 1}, 2},
        // A NaN intensity never qualifies; the next brightest does.
        KnownCase{"NaNIntensity", {{0, kNaN, 2, 0}, {0, 1, 2, 3}, 1.5f, 1}, 2},
        KnownCase{"NothingPositive", {{0, -1, -2, 5}, {0, 1, 2, 3}, 1, 1}, std::nullopt},
        // Velocities 8 apart near 1e8, where a float holds nothing finer; the
        // guide 1e8 + 4 rounds to 1e8.
        KnownCase{"RoundedOffsets",
                  {{1, 2, 3, 4}, {1e8f - 16, 1e8f - 8, 1e8f, 1e8f + 8}, 1e8f + 4, 2},
                  2},
        // Radius -0.0 admits exactly the pixels at the guide.
        KnownCase{"NegativeZeroRadius", {{1, 2, 3}, {0, 1, 2}, 1, -0.0f}, 1}),
    known_case_name);

// Guides and radii that are not finite take the full scan, which finds
// what it always found.
TEST(FindPeak, NonFiniteGuideOrRadiusScansEverything) {
  const std::vector<float> axis{-kInf, 0, 1, 2, kInf};
  const std::vector<float> spectrum{1, 2, 9, 3, 4};
  for (const float guide : {kNaN, kInf, -kInf, 1.0f}) {
    for (const float radius : {kInf, 1.0f}) {
      expect_same_peak(find_peak(spectrum, axis, guide, radius, AxisOrder::Ascending),
                       find_peak(spectrum, axis, guide, radius, AxisOrder::Unsorted));
    }
  }
  // A guide of +inf with an infinite radius admits every pixel below +inf.
  const std::optional<Peak> peak = find_peak(spectrum, axis, kInf, kInf, AxisOrder::Ascending);
  ASSERT_TRUE(peak.has_value());
  EXPECT_EQ(peak->pixel, 2);
  EXPECT_FALSE(find_peak(spectrum, axis, kNaN, 1.0f, AxisOrder::Ascending).has_value());
}

// Random ordered axes with plateaus, random spectra with ties and NaN, and
// guides and radii on and off the axis: both the full search (which takes
// four pixels per step) and the run give the plain serial scan's answer.
TEST(FindPeak, RunMatchesTheFullScanOnRandomAxes) {
  std::mt19937 rng(20261207);
  std::uniform_int_distribution<int> length(1, 60);
  std::uniform_int_distribution<int> level(-3, 6);
  std::uniform_real_distribution<float> step(0.0f, 3.0f);
  std::bernoulli_distribution flat(0.2), nan_value(0.05);
  int runs_with_peak = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    Search s;
    const auto n = static_cast<std::size_t>(length(rng));
    float v = std::uniform_real_distribution<float>(-50.0f, 50.0f)(rng);
    for (std::size_t i = 0; i < n; ++i) {
      if (!flat(rng)) v += step(rng);
      s.axis.push_back(v);
      s.spectrum.push_back(nan_value(rng) ? kNaN : static_cast<float>(level(rng)));
    }
    if (trial % 2 == 1) std::ranges::reverse(s.axis);
    if (trial % 10 == 9) std::ranges::shuffle(s.axis, rng);  // unsorted: full search only
    const float lo = std::min(s.axis.front(), s.axis.back());
    const float hi = std::max(s.axis.front(), s.axis.back());
    s.guide = std::uniform_real_distribution<float>(lo - 10.0f, hi + 10.0f)(rng);
    // Sometimes exactly on a pixel, so that ends fall on equalities.
    if (trial % 3 == 0) s.guide = s.axis[static_cast<std::size_t>(trial) % n];
    s.radius = static_cast<float>(trial % 5) * 1.5f;

    const std::optional<Peak> full = serial_scan(s);
    runs_with_peak += full.has_value() ? 1 : 0;
    expect_same_peak(scan(s, AxisOrder::Unsorted), full);
    expect_same_peak(scan(s, axis_order(s.axis)), full);
    if (testing::Test::HasFailure()) {
      ADD_FAILURE() << "trial " << trial;
      return;
    }
  }
  // The trials must reach both outcomes to mean anything.
  EXPECT_GT(runs_with_peak, 5000);
  EXPECT_LT(runs_with_peak, 19000);
}

}  // namespace
}  // namespace quillet
