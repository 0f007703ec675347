#include "spectrum/der_snr.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace quillet {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The estimate by a full sort of the differences that are numbers.
double sorted_median_estimate(const std::vector<float>& row) {
  std::vector<float> differences;
  for (std::size_t i = 2; i + 2 < row.size(); ++i) {
    const float second = std::fabs(row[i] * 2.0f - row[i - 2] - row[i + 2]);
    if (!std::isnan(second)) differences.push_back(second);
  }
  if (differences.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::ranges::sort(differences);
  const std::size_t n = differences.size();
  const double median = 0.5 * (static_cast<double>(differences[(n - 1) / 2]) +
                               static_cast<double>(differences[n / 2]));
  return 1.482602 / std::sqrt(6.0) * median;
}

double estimate(const std::vector<float>& row) {
  std::vector<float> scratch(der_snr_scratch_size(row.size()));
  return der_snr_row(row, scratch);
}

struct RowCase {
  const char* name;
  std::vector<float> row;
  double expected;  // NaN: the estimate is NaN
};

class DerSnrRows : public testing::TestWithParam<RowCase> {};

TEST_P(DerSnrRows, GiveTheMedianDifferenceTimesTheFactor) {
  const RowCase& c = GetParam();
  const double got = estimate(c.row);
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(got)) << got;
  } else {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got),
              std::bit_cast<std::uint64_t>(1.482602 / std::sqrt(6.0) * c.expected))
        << got;
  }
}

const double kNoEstimate = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, DerSnrRows,
    testing::Values(RowCase{"four_pixels", {1, 2, 3, 4}, kNoEstimate},
                    RowCase{"no_pixels", {}, kNoEstimate},
                    // One difference: |2*0 - 0 - 4| = 4.
                    RowCase{"five_pixels", {0, 9, 0, 9, 4}, 4.0},
                    // Differences 1, 3 (even count): the mean of both.
                    RowCase{"six_pixels", {0, 0, 0.5f, 0, 0, -3}, 2.0},
                    RowCase{"constant", {3, 3, 3, 3, 3, 3, 3}, 0.0},
                    // A NaN pixel removes the three differences it takes part in,
                    // leaving 0 and 2.
                    RowCase{"nan_pixel", {1, 0, 3, 0, kNaN, 0, 0, 2, 0}, 1.0},
                    // inf - inf is NaN and drops, leaving 0, inf, 0; a lone infinity
                    // (0 - inf - 0) counts.
                    RowCase{"cancelling_infinities", {kInf, 0, kInf, 0, 0, 0, 0, 0}, 0.0},
                    RowCase{"infinite_middle", {0, 0, kInf, 0, 0, 0}, kInf},
                    RowCase{"all_nan", {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}, kNoEstimate}),
    [](const testing::TestParamInfo<RowCase>& param_info) {
      return std::string(param_info.param.name);
    });

// Random rows with NaN, infinities and ties, of every length up to 40 and a
// long one: selection and a full sort agree to the bit.
TEST(DerSnr, SelectionAgreesWithAFullSort) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  std::uniform_int_distribution<int> kind(0, 19);
  for (std::size_t length : {5, 6, 7, 8, 9, 10, 17, 40, 513}) {
    for (int trial = 0; trial < 50; ++trial) {
      std::vector<float> row(length);
      for (float& f : row) {
        const int k = kind(random);
        f = k == 0 ? kNaN : k == 1 ? kInf : k == 2 ? -kInf : k < 6 ? 1.0f : value(random);
      }
      const double want = sorted_median_estimate(row);
      const double got = estimate(row);
      ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want))
          << "length " << length << " trial " << trial;
    }
  }
}

// Spikes on every eighth pixel of 516: the 512 differences are long runs of
// a few equal values, which the selection's partitions meet as their pivot.
TEST(DerSnr, LongRunsOfEqualDifferencesStillGiveTheMedian) {
  std::vector<float> row(516, 0.0f);
  for (std::size_t i = 2; i + 2 < row.size(); i += 8) row[i] = 1000.0f;
  EXPECT_EQ(estimate(row), 0.0);
  row[515] = kNaN;  // an odd count
  EXPECT_EQ(std::bit_cast<std::uint64_t>(estimate(row)),
            std::bit_cast<std::uint64_t>(sorted_median_estimate(row)));
}

TEST(DerSnr, RowsGetTheSameBitsOnPoolsOfAnySize) {
  constexpr std::size_t kRows = 301;
  constexpr std::size_t kColumns = 37;
  std::mt19937 random(11);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> spectra(kRows * kColumns);
  for (float& f : spectra) f = noise(random);
  spectra[5 * kColumns + 3] = kNaN;
  const NoiseRows input{.spectra = spectra, .rows = kRows, .columns = kColumns};

  std::vector<double> want(kRows);
  for (std::size_t i = 0; i < kRows; ++i) {
    want[i] = estimate({spectra.begin() + static_cast<std::ptrdiff_t>(i * kColumns),
                        spectra.begin() + static_cast<std::ptrdiff_t>((i + 1) * kColumns)});
  }
  for (std::size_t concurrency : {1, 2, 5}) {
    WorkerPool pool(concurrency);
    std::vector<double> got(kRows, -1.0);
    der_snr_rows(input, got, pool);
    for (std::size_t i = 0; i < kRows; ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
          << "row " << i << " on " << concurrency << " threads";
    }
  }
}

TEST(DerSnr, RowsOfFewerThanFivePixelsAreNaNAndNoRowsIsNothing) {
  WorkerPool pool(2);
  const std::vector<float> spectra(3 * 4, 1.0f);
  std::vector<double> noise(3, 0.0);
  der_snr_rows({.spectra = spectra, .rows = 3, .columns = 4}, noise, pool);
  for (double value : noise) EXPECT_TRUE(std::isnan(value));
  std::vector<double> none;
  der_snr_rows({.spectra = {}, .rows = 0, .columns = 512}, none, pool);
}

TEST(DerSnr, OnlyCContiguousRowsAreRead) {
  const std::vector<float> data(6, 1.0f);
  ArrayView view{.data = data.data(), .ndim = 2, .shape = {2, 3}};
  ASSERT_TRUE(check_noise_rows(view).has_value());
  EXPECT_EQ(check_noise_rows(view)->columns, 3u);
  view.c_contiguous = false;
  EXPECT_STREQ(check_noise_rows(view).error().message,
               "spectra must be a C-contiguous float32 array");
  view.shape = {0, 3};  // empty arrays pass whatever their flags
  EXPECT_EQ(check_noise_rows(view)->rows, 0u);
}

}  // namespace
}  // namespace quillet
