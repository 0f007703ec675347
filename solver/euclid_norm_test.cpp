#include "solver/euclid_norm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

}  // namespace
}  // namespace quillet::solver
