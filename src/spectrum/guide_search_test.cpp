#include "spectrum/guide_search.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace quillet {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// An axis of 5 km/s channels from 0, every channel inside.
struct Axis {
  explicit Axis(std::size_t m) : velocity(m), inside(m, 1) {
    for (std::size_t j = 0; j < m; ++j) velocity[j] = 5.0 * static_cast<double>(j);
  }
  GuideSearch search(std::size_t half, double snap = std::nan("")) const {
    return {velocity, inside, half, snap};
  }
  std::vector<double> velocity;
  std::vector<std::uint8_t> inside;
};

float guide(const std::vector<float>& row, float sigma, const GuideSearch& search) {
  std::vector<double> scratch(guide_scratch_size(row.size()));
  return guide_of_row(std::span<const float>(row), &sigma, 0, search, scratch);
}

struct RowCase {
  const char* name;
  std::vector<float> row;
  float sigma;
  std::size_t half;
  double snap;
  float expected;  // NaN: no guide
};

class GuideOfRow : public testing::TestWithParam<RowCase> {};

TEST_P(GuideOfRow, FindsTheSmoothedPeak) {
  const RowCase& c = GetParam();
  const Axis axis(c.row.size());
  const float got = guide(c.row, c.sigma, axis.search(c.half, c.snap));
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(got)) << got;
  } else {
    EXPECT_EQ(got, c.expected);
  }
}

const double kNoSnap = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Rows, GuideOfRow,
    testing::Values(
        RowCase{"single_peak", {0, 1, 5, 1, 0}, 1.0f, 0, kNoSnap, 10.0f},
        // Equal maxima: the first keeps the guide, smoothed or not.
        RowCase{"tie_goes_first", {0, 3, 0, 3, 0}, 1.0f, 0, kNoSnap, 5.0f},
        RowCase{"flat_row_takes_the_first_channel", {2, 2, 2, 2}, 1.0f, 1, kNoSnap, 0.0f},
        // A boxcar of three channels prefers the broad bump to the spike.
        RowCase{
            "smoothing_prefers_the_broad_line", {0, 4, 4, 4, 0, 0, 6, 0}, 1.0f, 1, kNoSnap, 10.0f},
        // ...and the snap then moves it to the brightest pixel near it.
        RowCase{
            "snap_moves_to_the_brightest_pixel", {0, 4, 4, 4, 0, 0, 6, 0}, 1.0f, 1, 20.0, 30.0f},
        RowCase{"snap_out_of_reach_leaves_it", {0, 4, 4, 4, 0, 0, 6, 0}, 1.0f, 1, 10.0, 5.0f},
        RowCase{"nan_pixels_take_no_part", {kNaN, 1, kNaN, 2, 9, kNaN}, 1.0f, 0, kNoSnap, 20.0f},
        RowCase{"infinite_pixels_take_no_part", {kInf, 1, 3, -kInf}, 1.0f, 0, kNoSnap, 10.0f},
        RowCase{"all_nan_has_no_guide", {kNaN, kNaN, kNaN}, 1.0f, 1, 5.0, kNaN},
        RowCase{"missing_noise_has_no_guide", {1, 2, 3}, kNaN, 0, kNoSnap, kNaN},
        RowCase{"zero_noise_has_no_guide", {1, 2, 3}, 0.0f, 0, kNoSnap, kNaN},
        RowCase{"empty_row", {}, 1.0f, 0, kNoSnap, kNaN}),
    [](const testing::TestParamInfo<RowCase>& p) { return std::string(p.param.name); });

TEST(GuideOfRow, ChannelsOutsideAreNeverTheGuide) {
  Axis axis(6);
  axis.inside = {1, 1, 1, 0, 0, 0};
  const std::vector<float> row{0, 1, 0, 0, 9, 0};
  EXPECT_EQ(guide(row, 1.0f, axis.search(0, 100.0)), 5.0f);
}

TEST(GuideOfRow, OneSigmaPerRowIsOneSigmaPerPixel) {
  std::mt19937 rng(3);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const Axis axis(97);
  std::vector<float> row(97);
  for (float& v : row) v = normal(rng);
  row[40] = kNaN;
  const std::vector<float> sigmas(row.size(), 0.7f);
  std::vector<double> scratch(guide_scratch_size(row.size()));
  const GuideSearch search = axis.search(3, 12.0);
  const float per_row =
      guide_of_row(std::span<const float>(row), sigmas.data(), 0, search, scratch);
  const float per_pixel =
      guide_of_row(std::span<const float>(row), sigmas.data(), 1, search, scratch);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(per_row), std::bit_cast<std::uint32_t>(per_pixel));
}

TEST(GuideRows, DoNotDependOnThePoolSize) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  const std::size_t rows = 300;
  const std::size_t columns = 64;
  std::vector<float> spectra(rows * columns);
  for (float& v : spectra) v = normal(rng);
  for (std::size_t i = 0; i < spectra.size(); i += 37) spectra[i] = kNaN;
  std::vector<double> sigma(rows);
  for (std::size_t i = 0; i < rows; ++i) sigma[i] = 0.5 + 0.01 * static_cast<double>(i);
  const Axis axis(columns);
  const GuideNoise<double> noise{sigma.data(), 1, 0};
  std::vector<std::vector<float>> results;
  for (const std::size_t concurrency : {1, 2, 5}) {
    WorkerPool pool(concurrency);
    std::vector<float> guides(rows);
    guide_rows(std::span<const float>(spectra), columns, noise, axis.search(2, 15.0), guides, pool);
    results.push_back(guides);
  }
  for (const auto& other : results) {
    for (std::size_t i = 0; i < rows; ++i) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(other[i]), std::bit_cast<std::uint32_t>(results[0][i]))
          << i;
    }
  }
}

}  // namespace
}  // namespace quillet
