// The lanes' Euclidean norm against euclid_norm, bit for bit, in each
// instruction set's lanes this processor runs: vectors of every range side
// by side in the lanes, each lane with its own length and the same vectors
// from a later first row, and rows past a lane's length holding values that
// must not be read. The kernels are built for their instruction sets in
// lane_kernels_*_test.cpp.
#if defined(__x86_64__)
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "solver/euclid_norm.hpp"
#include "solver/testing/lane_kernels.hpp"

namespace quillet::solver {
namespace {

// What fills a lane's rows.
enum class Fill {
  Intermediate,
  TinyTails,
  Giants,
  Waves,
  NaNs,
  ExactlyRdwarf,
  ExactlyAgiant,
  NearDwarf,
  LowIntermediate,
  Negligible,
  Mixture
};

struct LaneNormCase {
  const char* name;
  Fill fill;
};

double value_for(Fill fill, std::uint64_t seed, std::size_t lane, std::size_t row,
                 std::size_t length) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::uint64_t h = (lane * 0x9E3779B97F4A7C15ull) ^ (row * 0xC2B2AE3D27D4EB4Full) ^ seed;
  h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  const double unit = static_cast<double>((h >> 11) % 1000001) / 1000000.0;  // [0, 1]
  const double sign = (h & 1) != 0 ? -1.0 : 1.0;
  const double agiant = kRgiant / static_cast<double>(length);
  switch (fill) {
    case Fill::Intermediate:
      return sign * (0.5 + unit);
    case Fill::TinyTails:
      // A Gaussian's far flanks: normal, sub-normal and vanishing values
      // beside ordinary ones, as a narrow line's Jacobian columns hold.
      return sign * std::exp(-0.5 * std::pow(static_cast<double>(row) * (1.0 + unit), 2.0));
    case Fill::Giants:
      return row % 3 == lane % 3 ? sign * 1e200 * (1.0 + unit) : row % 5 == 0 ? kInf : unit;
    case Fill::Waves:
      // Magnitudes that rise and fall, so that the large and the small
      // range each meet new maxima after sums have built up.
      return sign * (1.0 + unit) *
             (row % 2 == 0 ? 1e-200 * static_cast<double>((row * 7 + lane) % 11 + 1)
                           : 1e200 * static_cast<double>((row * 5 + lane) % 13 + 1));
    case Fill::NaNs:
      return row == lane % 4 ? kNaN : lane % 2 == 0 ? sign * 1e-200 * unit : sign * 1e180;
    case Fill::ExactlyRdwarf:
      // rdwarf is small: alone (six of them would sum to another value as
      // intermediates) and beside intermediate values.
      return lane % 2 != 0 || row % 2 == 0 ? kRdwarf : sign * unit;
    case Fill::ExactlyAgiant:
      return (row + lane) % 2 == 0 ? agiant : sign * unit;
    // Small components beside intermediate ones that the plain sum of
    // squares may not stand for: within a factor of two of rdwarf on both
    // sides; intermediate ones whose squares lie below the small ones
    // (the other formula of the three-range result); and small ones just
    // too large, or just small enough, to vanish beside the least
    // intermediate one, which lies just above rdwarf.
    case Fill::NearDwarf:
      return sign * kRdwarf * (row % 2 == 0 ? 0.6 + 0.4 * unit : 1.0 + unit);
    case Fill::LowIntermediate:
      return sign * (row % 3 == 0 ? 1e-160 * (1.0 + unit) : 1e-140 * (1.0 + unit));
    case Fill::Negligible: {
      const double least = std::nextafter(kRdwarf, 1.0) * (lane % 4 < 2 ? 1.0 : 1.5);
      const double factor = lane % 2 == 0 ? 1.0 : 0x1p24;
      if (row % 8 == 0) return 1.0;  // s2 above every small magnitude
      return row % 2 == 0 ? sign * least * (1.0 + unit)
                          : sign * factor * least * (0.5 + 0.5 * unit) /
                                (static_cast<double>(length) * 0x1p32);
    }
    case Fill::Mixture: {
      const double kinds[] = {1e-170 * unit, 1e170 * unit, 0.0, std::nextafter(kRdwarf, 1.0)};
      return sign * (h % 7 < 4 ? kinds[h % 7] : unit);
    }
  }
  return 0.0;
}

// From row `first`, lane k's length is 3 k + (k % 2 ? 0 : 11), less 11 for
// lane 0, so that lanes of every parity and the empty vector meet.
void expect_lanes_match_euclid_norm(const LaneKernels& kernels, Fill fill, std::size_t first,
                                    std::uint64_t seed) {
  const auto lanes = static_cast<std::size_t>(kernels.width);
  std::vector<std::int64_t> counts(lanes);
  std::size_t rows = 0;
  for (std::size_t k = 0; k < lanes; ++k) {
    const std::size_t count = first + 3 * k + (k % 2 != 0 ? 0 : 11) - (k == 0 ? 11 : 0);
    counts[k] = static_cast<std::int64_t>(count);
    rows = std::max(rows, count);
  }
  ASSERT_LE(rows, kMaxLaneNormRows);
  // Rows outside a lane's vector hold an ordinary value in even lanes and
  // NaN in odd ones: read by mistake, either changes the lane's result.
  std::vector<double> values(rows * lanes);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = (i % lanes) % 2 == 0 ? 0.75 : std::numeric_limits<double>::quiet_NaN();
  }
  std::vector<std::vector<double>> own(lanes);
  for (std::size_t k = 0; k < lanes; ++k) {
    const auto count = static_cast<std::size_t>(counts[k]);
    for (std::size_t i = first; i < count; ++i) {
      values[i * lanes + k] = value_for(fill, seed, k, i, count - first);
      own[k].push_back(values[i * lanes + k]);
    }
  }
  std::vector<double> out(lanes);
  kernels.lane_norms(values.data(), counts.data(), first, rows, out.data());
  for (std::size_t k = 0; k < lanes; ++k) {
    const double expected = euclid_norm(own[k]);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(out[k])) << "lane " << k << ": " << out[k];
    } else {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(out[k]), std::bit_cast<std::uint64_t>(expected))
          << "lane " << k << ", first row " << first << ", seed " << seed << ": " << out[k]
          << " against " << expected;
    }
  }
}

const LaneNormCase kLaneNormCases[] = {
    {"Intermediate", Fill::Intermediate},
    {"TinyTails", Fill::TinyTails},
    {"Giants", Fill::Giants},
    {"Waves", Fill::Waves},
    {"NaNs", Fill::NaNs},
    {"ExactlyRdwarf", Fill::ExactlyRdwarf},
    {"ExactlyAgiant", Fill::ExactlyAgiant},
    {"NearDwarf", Fill::NearDwarf},
    {"LowIntermediate", Fill::LowIntermediate},
    {"Negligible", Fill::Negligible},
    {"Mixture", Fill::Mixture},
};

void PrintTo(const LaneNormCase& c, std::ostream* out) { *out << c.name; }

class LaneNorm : public ::testing::TestWithParam<std::tuple<LaneKernels, LaneNormCase>> {};

TEST_P(LaneNorm, EveryLaneIsEuclidNorm) {
  const auto& [kernels, c] = GetParam();
  if (!kernels.runs_here()) GTEST_SKIP() << "this processor lacks " << kernels.name;
  for (const std::size_t first : {0uz, 3uz}) {
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
      expect_lanes_match_euclid_norm(kernels, c.fill, first, seed);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ranges, LaneNorm,
                         ::testing::Combine(::testing::ValuesIn(kLaneKernels),
                                            ::testing::ValuesIn(kLaneNormCases)),
                         [](const ::testing::TestParamInfo<LaneNorm::ParamType>& param) {
                           return std::string(std::get<0>(param.param).name) + "_" +
                                  std::get<1>(param.param).name;
                         });

}  // namespace
}  // namespace quillet::solver
#endif
