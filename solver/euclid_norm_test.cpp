#include "solver/euclid_norm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace quillet::solver {
namespace {

// The range thresholds as decimals, independent of the stored bit patterns.
constexpr double kRdwarf = 1.8269129289596699e-153;
constexpr double kRgiant = 1.3407807799935083e+153;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kAgiant2 = kRgiant / 2.0;  // start of the large range for two components

struct NormCase {
  std::string name;
  std::vector<double> x;
  double expected;  // exact; NaN means a NaN result
};

class EuclidNorm : public ::testing::TestWithParam<NormCase> {};

TEST_P(EuclidNorm, GivesTheKnownValue) {
  const double got = euclid_norm(GetParam().x);
  if (std::isnan(GetParam().expected)) {
    EXPECT_TRUE(std::isnan(got)) << got;
  } else {
    EXPECT_EQ(got, GetParam().expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, EuclidNorm,
    ::testing::Values(
        NormCase{"Empty", {}, 0.0}, NormCase{"Intermediate", {3.0, -4.0}, 5.0},
        NormCase{"SmallWithoutUnderflow", {3e-200, 4e-200}, 5e-200},
        NormCase{"LargeRising", {3e200, 4e200}, 4.9999999999999995e+200},
        NormCase{"LargeFalling", {4e200, -3e200}, 4.9999999999999995e+200},
        NormCase{"SmallBesideIntermediate", {1e-160, 1.0}, 1.0},
        // As intermediates six rdwarf would sum to 4.475004480444684e-153.
        NormCase{"RdwarfCountsAsSmall", std::vector<double>(6, kRdwarf), kRdwarf* std::sqrt(6.0)},
        NormCase{"NaNAlone", {kNaN}, kNaN}, NormCase{"NaNBesideIntermediate", {1.0, kNaN}, kNaN},
        NormCase{"NaNBesideSmall", {kNaN, 1e-200}, kNaN},
        NormCase{"NaNLostBeforeGiant", {kNaN, 1e200}, 1e200},
        NormCase{"NaNLostAfterGiant", {1e200, kNaN}, 1e200},
        NormCase{"ExactlyAgiantCountsAsLarge", {kAgiant2, kNaN}, kAgiant2},
        NormCase{"BelowAgiantIsIntermediate", {std::nextafter(kAgiant2, 0.0), kNaN}, kNaN}),
    [](const auto& p) { return p.param.name; });

// The three-range algorithm exactly as stated, without the one-pass shortcut
// that euclid_norm takes when every component is intermediate.
double three_range_norm(const std::vector<double>& x) {
  if (x.empty()) return 0.0;
  const double agiant = kRgiant / static_cast<double>(x.size());
  double s1 = 0, s2 = 0, s3 = 0, x1max = 0, x3max = 0;
  for (const double xi : x) {
    const double a = std::fabs(xi);
    if (a > kRdwarf && a < agiant) {
      s2 += xi * xi;
    } else if (a > kRdwarf) {
      if (a > x1max) {
        s1 = s1 * (x1max / a) * (x1max / a) + 1.0;
        x1max = a;
      } else {
        s1 += (a / x1max) * (a / x1max);
      }
    } else if (a > x3max) {
      s3 = s3 * (x3max / a) * (x3max / a) + 1.0;
      x3max = a;
    } else if (xi != 0.0) {
      s3 += (a / x3max) * (a / x3max);
    }
  }
  if (s1 != 0) return x1max * std::sqrt(s1 + (s2 / x1max) / x1max);
  if (s2 != 0) {
    if (s2 >= x3max) return std::sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)));
    return std::sqrt(x3max * (s2 / x3max + x3max * s3));
  }
  return x3max * std::sqrt(s3);
}

// Random vectors of the lengths the solver uses, mostly intermediate (the
// shortcut) and sometimes with a zero, a small, a large or a NaN component
// (the general path), give the stated algorithm's bits.
TEST(EuclidNormShortcut, GivesTheThreeRangeResultBitForBit) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> exponent(-300.0, 300.0), mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> length(1, 40), kind(0, 9);
  for (int trial = 0; trial < 20000; ++trial) {
    std::vector<double> x(static_cast<std::size_t>(length(rng)));
    for (double& v : x) {
      v = mantissa(rng) * std::pow(10.0, exponent(rng) / 30.0);
      switch (kind(rng)) {
        case 0:
          v = trial % 7 == 0 ? 0.0 : v;
          break;
        case 1:
          v = trial % 5 == 0 ? 1e-200 * mantissa(rng) : v;
          break;
        case 2:
          v = trial % 5 == 1 ? 1e200 * mantissa(rng) : v;
          break;
        case 3:
          v = trial % 11 == 0 ? kNaN : v;
          break;
        default:
          break;
      }
    }
    const double got = euclid_norm(x), want = three_range_norm(x);
    if (std::isnan(want)) {
      ASSERT_TRUE(std::isnan(got)) << "trial " << trial;
    } else {
      ASSERT_EQ(got, want) << "trial " << trial;
    }
  }
}

// The start of the large range, rgiant / n, is tabulated for short vectors:
// for every length, a component of exactly rgiant / n as the processor
// divides it counts as large (so a NaN beside it is lost), and the double
// just below it as intermediate (so the NaN shows).
TEST(EuclidNormRanges, LargeStartsAtRgiantOverLengthForEveryLength) {
  volatile double divisor = 0.0;  // divided at run time, not folded
  for (std::size_t n = 2; n <= 80; ++n) {
    divisor = static_cast<double>(n);
    const double agiant = kRgiant / divisor;
    std::vector<double> x(n, 0.0);
    x[0] = agiant;
    x[1] = kNaN;
    EXPECT_EQ(euclid_norm(x), agiant) << n;
    x[0] = std::nextafter(agiant, 0.0);
    EXPECT_TRUE(std::isnan(euclid_norm(x))) << n;
  }
}

// Columns summed side by side give each column's own norm, bit for bit, for
// every count of columns (the groups of four and the remainders) and with
// columns that leave the shortcut.
TEST(EuclidNormColumns, EachIsItsColumnsNorm) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  for (std::size_t rows : {1u, 2u, 21u}) {
    for (std::size_t columns = 0; columns <= 9; ++columns) {
      std::vector<double> block(rows * columns);
      for (double& v : block) v = value(rng);
      if (columns > 2) block[rows * 2] = 0.0;    // a small component
      if (columns > 5) block[rows * 5] = 1e300;  // a large one
      if (columns > 7) block[rows * 7] = kNaN;   // and a NaN
      std::vector<double> norms(columns, -1.0);
      euclid_norm_columns(block, rows, norms);
      for (std::size_t c = 0; c < columns; ++c) {
        const double want = euclid_norm(std::span<const double>(block).subspan(rows * c, rows));
        if (std::isnan(want)) {
          EXPECT_TRUE(std::isnan(norms[c]));
        } else {
          EXPECT_EQ(norms[c], want) << rows << " rows, column " << c << " of " << columns;
        }
      }
    }
  }
}

}  // namespace
}  // namespace quillet::solver
