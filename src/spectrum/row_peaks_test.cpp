#include "spectrum/row_peaks.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace quillet {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Channels at 0, 2, 4, ... km/s.
std::vector<float> axis_of(std::size_t m) {
  std::vector<float> axis(m);
  for (std::size_t j = 0; j < m; ++j) axis[j] = 2.0f * static_cast<float>(j);
  return axis;
}

struct PeakCase {
  const char* name;
  std::vector<float> row;
  float guide;
  float radius;
  float velocity_range;
  std::int32_t channel;  // -1: no peak accepted
  std::int32_t finite;
};

class RowPeakOf : public testing::TestWithParam<PeakCase> {};

TEST_P(RowPeakOf, IsTheBrightestPixelNearTheGuide) {
  const PeakCase& c = GetParam();
  const std::vector<float> axis = axis_of(c.row.size());
  const RowPeak peak = row_peak(c.row, c.guide, {axis, c.radius, c.velocity_range});
  EXPECT_EQ(peak.channel, c.channel);
  EXPECT_EQ(peak.finite, c.finite);
  if (c.channel < 0) {
    EXPECT_TRUE(std::isnan(peak.value));
  } else {
    EXPECT_EQ(peak.value, c.row[static_cast<std::size_t>(c.channel)]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowPeakOf,
    testing::Values(
        PeakCase{"brightest_near_the_guide", {0, 1, 5, 1, 9, 0}, 4.0f, 2.0f, 2.0f, 2, 6},
        PeakCase{"tie_goes_to_the_first", {0, 3, 1, 3, 0}, 4.0f, 4.0f, 4.0f, 1, 5},
        // Read within the radius but beyond the velocity range: refused.
        PeakCase{"beyond_the_range_is_refused", {0, 1, 0, 0, 7}, 0.0f, 8.0f, 4.0f, -1, 5},
        PeakCase{"no_positive_pixel", {-1, -2, 0, -1}, 2.0f, 10.0f, 10.0f, -1, 4},
        PeakCase{"nan_pixels_are_skipped", {kNaN, 2, kNaN, 1}, 2.0f, 10.0f, 10.0f, 1, 2},
        PeakCase{"infinities_are_not_finite", {kInf, 1, -kInf, 0}, 6.0f, 2.0f, 2.0f, -1, 2},
        PeakCase{"all_nan", {kNaN, kNaN, kNaN}, 2.0f, 10.0f, 10.0f, -1, 0},
        PeakCase{"nan_guide_finds_nothing", {0, 5, 0}, kNaN, 10.0f, 10.0f, -1, 3},
        // Past eight pixels the count runs on vector lanes, then the tail.
        PeakCase{
            "long_row_count", {1, kNaN, 1, 1, 1, kInf, 1, 1, 1, 1, kNaN}, 0.0f, 0.0f, 0.0f, 0, 8}),
    [](const testing::TestParamInfo<PeakCase>& p) { return std::string(p.param.name); });

TEST(RowPeaks, OnlyTheAxisLengthIsRead) {
  // Rows of five pixels, the axis of three: the bright fourth pixel and the
  // NaN fifth are neither searched nor counted.
  const std::vector<float> spectra{1, 2, 1, 9, kNaN, 0, 0, 3, 9, 9};
  const std::vector<float> axis = axis_of(3);
  const std::vector<float> guides{2.0f, 2.0f};
  std::vector<std::int32_t> channel(2), finite(2);
  std::vector<float> value(2);
  for (const std::size_t concurrency : {1, 3}) {
    WorkerPool pool(concurrency);
    row_peaks(spectra, 5, guides, {axis, 4.0f, 4.0f}, {channel, value, finite}, pool);
    EXPECT_EQ(channel, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(value, (std::vector<float>{2, 3}));
    EXPECT_EQ(finite, (std::vector<std::int32_t>{3, 3}));
  }
}

}  // namespace
}  // namespace quillet
