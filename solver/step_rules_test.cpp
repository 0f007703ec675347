// The shared step rules for doubles against the same rules in each
// instruction set's lanes this processor runs, bit for bit, on inputs drawn
// from the values that break careless code: zeros of both signs, NaN, both
// infinities, the limits themselves, numbers at and around the constants the
// rules compare with, and the largest and smallest doubles. A lane that
// selected the wrong branch, or reached a result by other operations, shows
// here before it shows in a fit.
#include <gtest/gtest.h>

#if defined(__x86_64__)
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "solver/euclid_norm.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/step_constants.hpp"
#include "solver/testing/lane_kernels.hpp"

namespace quillet::solver {

inline double to_doubles(std::int64_t v) { return static_cast<double>(v); }

#include "solver/step_rules.hpp"
#include "solver/testing/step_rule_cases.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What a real input is drawn from. The limits draw on the same pool, so a
// parameter often sits exactly on one, or has lower above upper.
constexpr std::array kHostile = {0.0,
                                 -0.0,
                                 1.0,
                                 -1.0,
                                 0.5,
                                 kTenth,
                                 kPoorRatio,
                                 kGoodRatio,
                                 kAcceptRatio,
                                 kEpsilon,
                                 -kEpsilon,
                                 kMinNormal,
                                 std::numeric_limits<double>::denorm_min(),
                                 std::numeric_limits<double>::max(),
                                 -std::numeric_limits<double>::max(),
                                 1e-300,
                                 1e300,
                                 3.0,
                                 -2.5,
                                 kInf,
                                 -kInf,
                                 kNaN};
constexpr std::array<std::int64_t, 5> kCounts = {0, 1, 2, 3, 200};

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
  h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 32);
}

// One case's inputs. `family` 0 draws every input from the hostile pool;
// family 1 keeps the usual signs and orders of a run (positive norms and
// bounds, lower below upper, x between them) with hostile magnitudes, so
// that the rules' ordinary branches are reached as often as the odd ones.
struct Case {
  std::array<double, kStepRuleReals> reals;
  std::array<std::int64_t, kStepRuleCounts> counts;
};

Case make_case(std::uint64_t family, std::uint64_t index) {
  Case c;
  for (std::size_t i = 0; i < kStepRuleReals; ++i) {
    c.reals[i] = kHostile[mix(index, i + 100 * family) % kHostile.size()];
  }
  for (std::size_t i = 0; i < kStepRuleCounts; ++i) {
    c.counts[i] = kCounts[mix(index, i + 1000) % kCounts.size()];
  }
  if (family == 1) {
    for (std::size_t i : {0uz, 1uz, 2uz, 3uz, 4uz, 5uz, 6uz, 7uz, 8uz, 9uz, 10uz}) {
      c.reals[i] = std::fabs(c.reals[i]);
    }
    const double lower = -std::fabs(c.reals[12]);
    const double upper = std::fabs(c.reals[13]);
    c.reals[12] = lower;
    c.reals[13] = upper;
    // x on a limit, or inside; the step across a limit half the time.
    const std::uint64_t where = mix(index, 7) % 4;
    c.reals[11] = where == 0 ? lower : where == 1 ? upper : 0.5 * (lower + upper);
    if (mix(index, 8) % 2 == 0) c.reals[14] = mix(index, 9) % 2 == 0 ? 4.0 * upper : 4.0 * lower;
  }
  return c;
}

bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

class StepRules : public ::testing::TestWithParam<std::tuple<LaneKernels, std::uint64_t>> {};

TEST_P(StepRules, EveryLaneIsTheScalarRule) {
  const auto& [kernels, family] = GetParam();
  if (!kernels.runs_here()) GTEST_SKIP() << "this processor lacks " << kernels.name;
  const auto lanes = static_cast<std::size_t>(kernels.width);
  constexpr std::size_t kRounds = 2000;
  std::vector<double> reals(kStepRuleReals * lanes);
  std::vector<std::int64_t> counts(kStepRuleCounts * lanes);
  std::vector<double> out(kStepRuleOutputs * lanes);
  std::size_t mismatches = 0;
  for (std::size_t round = 0; round < kRounds; ++round) {
    std::vector<Case> cases;
    for (std::size_t k = 0; k < lanes; ++k) {
      cases.push_back(make_case(family, round * lanes + k));
      for (std::size_t i = 0; i < kStepRuleReals; ++i) reals[i * lanes + k] = cases[k].reals[i];
      for (std::size_t i = 0; i < kStepRuleCounts; ++i) counts[i * lanes + k] = cases[k].counts[i];
    }
    kernels.step_rules_in_lanes(reals.data(), counts.data(), out.data());
    for (std::size_t k = 0; k < lanes; ++k) {
      std::array<double, kStepRuleOutputs> expected;
      apply_step_rules(cases[k].reals.data(), cases[k].counts.data(), expected.data(),
                       std::int64_t{0}, true);
      for (std::size_t o = 0; o < kStepRuleOutputs; ++o) {
        if (same(out[o * lanes + k], expected[o])) continue;
        if (++mismatches > 10) continue;
        ADD_FAILURE() << "round " << round << ", lane " << k << ", output " << o << ": "
                      << out[o * lanes + k] << " against " << expected[o];
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(Lanes, StepRules,
                         ::testing::Combine(::testing::ValuesIn(kLaneKernels),
                                            ::testing::Values(std::uint64_t{0}, std::uint64_t{1})),
                         [](const ::testing::TestParamInfo<StepRules::ParamType>& param) {
                           return std::string(std::get<0>(param.param).name) +
                                  (std::get<1>(param.param) == 0 ? "_Hostile" : "_RunShaped");
                         });

}  // namespace
}  // namespace quillet::solver
#endif
