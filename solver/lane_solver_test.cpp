// LaneSolver against solve, bit for bit: curve problems run side by side in
// the lanes, each lane with its own number of residuals, and every outcome
// (error, status, parameters, bestnorm) compared with the scalar run's. The
// families reach what the Gaussian batches rarely do: columns so nearly
// parallel that a downdated norm is recomputed, a zero column and the rank
// deficiency it brings to the damped solves, optima on the limits, non-finite
// Jacobians, refusals, and every way a run stops.
#include <gtest/gtest.h>

#if defined(__x86_64__)
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "solver/solver.hpp"
#include "solver/testing/curve_model.hpp"
#include "solver/testing/lane_kernels.hpp"

namespace quillet::solver {
namespace {

using testing::CurveModel;

// Deterministic noise in [-1, 1).
double jitter(std::size_t a, std::size_t b) {
  std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
  h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
  return static_cast<double>((h >> 11) % 2000001) / 1000000.0 - 1.0;
}

// x and two columns a hair away from it: after the first reflection the
// other two keep about 1e-9 of their norms, downdating leaves nothing
// trustworthy of them, and the recomputed norms pick the second pivot.
double collinear(const double* b, double x, double) {
  return b[0] * x + b[1] * (x + 1e-9 * x * x) + b[2] * (x - 3e-9 * x * x * x);
}
void collinear_grad(const double*, double x, double* g) {
  g[0] = x;
  g[1] = x + 1e-9 * x * x;
  g[2] = x - 3e-9 * x * x * x;
}
// A line whose third parameter does nothing: a zero column.
double idle_third(const double* b, double x, double) { return b[0] + b[1] * x; }
void idle_third_grad(const double*, double x, double* g) {
  g[0] = 1.0;
  g[1] = x;
  g[2] = 0.0;
}
// A decay over a baseline, whose exponential overflows for large rates.
double decay_base(const double* b, double x, double) { return b[0] * std::exp(-b[1] * x) + b[2]; }
void decay_base_grad(const double* b, double x, double* g) {
  g[0] = std::exp(-b[1] * x);
  g[1] = -b[0] * x * g[0];
  g[2] = 1.0;
}

// A family of problems and the models they point to.
struct Family {
  std::deque<CurveModel> models;
  std::vector<LaneCurveProblem> problems;

  // m samples of `f` at b_true on a grid, with noise of `noise` amplitude.
  void add(testing::Curve f, testing::CurveGradient g, std::size_t m, double from, double step,
           std::array<double, 3> b_true, double noise, std::array<double, 3> start,
           std::array<double, 6> limits, SolverConfig config = {}) {
    CurveModel& model = models.emplace_back(testing::exact_curve(
        f, g, testing::grid(from, step, static_cast<int>(m)), {b_true.begin(), b_true.end()}));
    for (std::size_t i = 0; i < model.y.size(); ++i) {
      model.y[i] += noise * jitter(problems.size(), i);
    }
    LaneCurveProblem p{.model = &model, .config = config, .constraints = {}, .start = start};
    for (std::size_t c = 0; c < 3; ++c) {
      p.constraints[c].has_lower = true;
      p.constraints[c].has_upper = true;
      p.constraints[c].lower = limits[2 * c];
      p.constraints[c].upper = limits[2 * c + 1];
      p.constraints[c].side = DerivSide::Analytic;
    }
    problems.push_back(p);
  }
};

constexpr std::array<double, 6> kWide = {-1e3, 1e3, -1e3, 1e3, -1e3, 1e3};

Family quadratics() {
  Family f;
  for (std::size_t k = 0; k < 40; ++k) {
    const auto d = static_cast<double>(k);
    f.add(testing::quadratic, testing::quadratic_grad, 3 + (k * 7) % 41, -2.0, 0.1 + 0.01 * d,
          {1.0 + 0.1 * d, -0.5, 0.25}, k % 3 == 0 ? 0.0 : 0.05, {10.0, 10.0 - d, -3.0}, kWide);
  }
  return f;
}

// Lines as narrow as a pixel among wide ones: far flanks whose Jacobian
// entries fall below the norm's small range.
Family gaussians() {
  Family f;
  for (std::size_t k = 0; k < 40; ++k) {
    const double width = k % 4 == 0 ? 0.05 : 0.5 + 0.1 * static_cast<double>(k);
    f.add(testing::gaussian, testing::gaussian_grad, 5 + (k * 11) % 60, -6.0, 0.2,
          {2.0, 0.1 * static_cast<double>(k % 7) - 0.3, width}, 0.02,
          {1.0, 0.0, k % 4 == 0 ? 0.06 : 1.0}, {0.0, 10.0, -5.0, 5.0, 0.01, 20.0});
  }
  return f;
}

Family nearly_collinear() {
  Family f;
  for (std::size_t k = 0; k < 24; ++k) {
    f.add(collinear, collinear_grad, 4 + (k * 5) % 30, 1.0, 0.5 + 0.1 * static_cast<double>(k),
          {2.0, -1.0, 0.5}, k % 2 == 0 ? 0.0 : 0.01, {0.0, 0.0, 0.0}, kWide);
  }
  return f;
}

Family zero_columns() {
  Family f;
  for (std::size_t k = 0; k < 24; ++k) {
    f.add(idle_third, idle_third_grad, 3 + (k * 3) % 25, -1.0, 0.3, {1.0, 2.0, 0.0}, 0.1,
          {-4.0, 5.0, static_cast<double>(k)}, kWide);
  }
  return f;
}

// Optima beyond the limits: parameters end on them, and the columns of those
// resting there with outward gradient are frozen.
Family on_limits() {
  Family f;
  for (std::size_t k = 0; k < 32; ++k) {
    const double lo = k % 2 == 0 ? 0.9 : -0.1;
    f.add(testing::quadratic, testing::quadratic_grad, 6 + k % 17, -1.0, 0.2, {1.5, -2.0, 0.3},
          0.05, {lo, 0.0, 0.0},
          {lo, 1.2, -1.0, 1.0, k % 3 == 0 ? -0.2 : 0.0, k % 3 == 0 ? 0.0 : 0.2});
  }
  return f;
}

// Rates whose exponentials overflow at the start or on the way.
Family non_finite() {
  Family f;
  for (std::size_t k = 0; k < 24; ++k) {
    const double rate = k % 3 == 0 ? -800.0 : -0.5 * static_cast<double>(k);
    f.add(decay_base, decay_base_grad, 5 + k % 9, 0.0, 1.0 + 0.5 * static_cast<double>(k),
          {1.0, -1.0, 0.5}, 0.01, {1.0, rate, 0.0}, {-10.0, 10.0, -1000.0, 1000.0, -10.0, 10.0});
  }
  return f;
}

// Refused before the first evaluation, between problems that run.
Family refused() {
  Family f;
  for (std::size_t k = 0; k < 24; ++k) {
    std::array<double, 6> limits = kWide;
    std::array<double, 3> start = {1.0, 1.0, 1.0};
    std::size_t m = 8;
    if (k % 4 == 1) start[k % 3] = 2e3;           // outside its limits
    if (k % 4 == 2) m = 2;                        // fewer residuals than parameters
    if (k % 4 == 3) limits[2] = limits[3] = 1.0;  // lower equals upper
    f.add(testing::quadratic, testing::quadratic_grad, m, 0.0, 0.5, {1.0, 2.0, 3.0}, 0.1, start,
          limits);
  }
  return f;
}

// Every way a run stops: iteration and evaluation limits, tolerances loose
// and below the rounding floor, the last beside a line under noise thirty
// times its height, fitted to the last bit, whose gradient test falls to
// rounding level.
Family stops() {
  constexpr double kTiny = 1e-300;
  const SolverConfig configs[] = {
      {.max_iter = 1},
      {.max_iter = 3},
      {.max_fev = MaxFev::at_most(4)},
      {.ftol = kTiny, .xtol = kTiny, .gtol = kTiny},
      {.ftol = 0.5},
      {.xtol = 0.5},
      {.gtol = 0.9},
      {.max_iter = 0},
      {.ftol = kTiny, .xtol = kTiny, .gtol = kTiny},
  };
  Family f;
  for (std::size_t k = 0; k < 54; ++k) {
    const std::size_t kind = k % std::size(configs);
    const double noise = kind + 1 == std::size(configs) ? 30.0 : k % 2 == 0 ? 0.0 : 0.05;
    f.add(testing::gaussian, testing::gaussian_grad, 7 + k % 23, -3.0, 0.25, {1.0, 0.2, 0.7}, noise,
          {0.5, -0.5, 1.5}, {0.0, 5.0, -2.0, 2.0, 0.05, 5.0}, configs[kind]);
  }
  return f;
}

struct FamilyCase {
  const char* name;
  Family (*make)();
};

void PrintTo(const FamilyCase& c, std::ostream* out) { *out << c.name; }

const FamilyCase kFamilies[] = {
    {"Quadratics", quadratics},    {"Gaussians", gaussians}, {"NearlyCollinear", nearly_collinear},
    {"ZeroColumns", zero_columns}, {"OnLimits", on_limits},  {"NonFinite", non_finite},
    {"Refused", refused},          {"Stops", stops},
};

class LaneSolverAgainstSolve
    : public ::testing::TestWithParam<std::tuple<LaneKernels, FamilyCase>> {};

TEST_P(LaneSolverAgainstSolve, EveryOutcomeHasTheSameBits) {
  const auto& [kernels, family_case] = GetParam();
  if (!kernels.runs_here()) GTEST_SKIP() << "this processor lacks " << kernels.name;
  const Family family = family_case.make();
  std::vector<LaneCurveOutcome> lanes(family.problems.size());
  kernels.solve_in_lanes(family.problems, lanes);
  for (std::size_t i = 0; i < family.problems.size(); ++i) {
    const LaneCurveProblem& p = family.problems[i];
    CurveModel model = *p.model;
    std::array<double, 3> x = p.start;
    const auto run = solve(model, p.config, p.constraints, x);
    const LaneCurveOutcome& o = lanes[i];
    if (!run) {
      EXPECT_EQ(o.error, run.error()) << "problem " << i;
      continue;
    }
    ASSERT_FALSE(o.error) << "problem " << i << ": error " << static_cast<int>(*o.error);
    EXPECT_EQ(o.status, run->status) << "problem " << i;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(o.bestnorm), std::bit_cast<std::uint64_t>(run->bestnorm))
        << "problem " << i << ": " << o.bestnorm << " against " << run->bestnorm;
    for (std::size_t c = 0; c < 3; ++c) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(o.x[c]), std::bit_cast<std::uint64_t>(x[c]))
          << "problem " << i << ", parameter " << c << ": " << o.x[c] << " against " << x[c];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Curves, LaneSolverAgainstSolve,
    ::testing::Combine(::testing::ValuesIn(kLaneKernels), ::testing::ValuesIn(kFamilies)),
    [](const ::testing::TestParamInfo<LaneSolverAgainstSolve::ParamType>& param) {
      return std::string(std::get<0>(param.param).name) + "_" + std::get<1>(param.param).name;
    });

// The very bits of a few runs, each through `solve` and through the lanes
// of every instruction set this processor runs (side by side, so that each
// lane also runs beside the others): the status, the counts and every bit of
// the solution and the chi-square. The lanes against `solve` cannot see a
// fault in a step both share (the factorisation, the damped solves, the
// Levenberg-Marquardt parameter, the step bound, the acceptance); these
// runs do.
struct PinnedRun {
  const char* name;
  SolverStatus status;
  std::uint64_t niter, nfev;
  std::array<std::uint64_t, 3> x;
  std::uint64_t bestnorm;
};

Family pinned_family() {
  Family f;
  // A noisy line whose width the upper limit holds: sigma ends on 0.8.
  f.add(testing::gaussian, testing::gaussian_grad, 31, -4.0, 0.25, {2.0, 0.3, 1.0}, 0.05,
        {1.0, 0.0, 0.5}, {0.0, 10.0, -3.0, 3.0, 0.1, 0.8});
  // Its amplitude held from below, its centre moving free.
  f.add(testing::gaussian, testing::gaussian_grad, 23, -3.0, 0.3, {1.0, -0.4, 0.6}, 0.02,
        {1.5, 0.2, 1.0}, {1.2, 5.0, -2.0, 2.0, 0.05, 4.0});
  // A free line under noise, far from its start.
  f.add(testing::gaussian, testing::gaussian_grad, 40, -5.0, 0.25, {3.0, 1.1, 0.7}, 0.1,
        {1.0, -1.0, 2.0}, {0.0, 10.0, -4.0, 4.0, 0.05, 5.0});
  // A parabola whose optimum lies beyond a limit of every coefficient: the
  // first starts on its limit, and each column is frozen while the gradient
  // points outward from the limit its parameter rests on.
  f.add(testing::quadratic, testing::quadratic_grad, 12, -1.0, 0.2, {1.5, -2.0, 0.3}, 0.05,
        {0.9, 0.0, 0.0}, {0.9, 1.2, -1.0, 1.0, 0.0, 0.2});
  return f;
}

const PinnedRun kPinnedRuns[] = {
    {"WidthOnItsUpperLimit",
     SolverStatus::FtolReached,
     11,
     22,
     {0x4001ad66f97ca0c5, 0x3fd2b2282c294100, 0x3fe999999999999a},
     0x3fe61c8893161be2},
    {"AmplitudeOnItsLowerLimit",
     SolverStatus::FtolReached,
     12,
     24,
     {0x3ff3333333333333, 0xbfd95de87e929ec1, 0x3fe0d01638e31147},
     0x3fb9f79d42fe311e},
    {"FreeLine",
     SolverStatus::FtolReached,
     12,
     25,
     {0x40080d60c76d7729, 0x3ff207da792f8a7c, 0x3fe67f7ab9ad0b2d},
     0x3fc13a10e14498e4},
    {"FrozenColumns",
     SolverStatus::GtolReached,
     5,
     11,
     {0x3ff3333333333333, 0xbff0000000000000, 0x3fc999999999999a},
     0x401a1a67728639f6},
};

std::string described(const LaneCurveOutcome& o) {
  char text[256];
  std::snprintf(text, sizeof text,
                "status %d, niter %llu, nfev %llu, x {0x%016llx, 0x%016llx, 0x%016llx}, bestnorm "
                "0x%016llx",
                static_cast<int>(o.status), static_cast<unsigned long long>(o.niter),
                static_cast<unsigned long long>(o.nfev),
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(o.x[0])),
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(o.x[1])),
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(o.x[2])),
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(o.bestnorm)));
  return text;
}

void expect_pinned(const LaneCurveOutcome& o, const PinnedRun& pin, const char* path) {
  const std::string got = std::string(path) + " " + pin.name + ": " + described(o);
  ASSERT_FALSE(o.error) << got;
  EXPECT_EQ(o.status, pin.status) << got;
  EXPECT_EQ(o.niter, pin.niter) << got;
  EXPECT_EQ(o.nfev, pin.nfev) << got;
  for (std::size_t c = 0; c < 3; ++c) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(o.x[c]), pin.x[c]) << "parameter " << c << ", " << got;
  }
  EXPECT_EQ(std::bit_cast<std::uint64_t>(o.bestnorm), pin.bestnorm) << got;
}

TEST(PinnedRuns, SolveKeepsItsBits) {
  const Family family = pinned_family();
  ASSERT_EQ(family.problems.size(), std::size(kPinnedRuns));
  for (std::size_t i = 0; i < family.problems.size(); ++i) {
    const LaneCurveProblem& p = family.problems[i];
    CurveModel model = *p.model;
    std::array<double, 3> x = p.start;
    const auto run = solve(model, p.config, p.constraints, x);
    ASSERT_TRUE(run.has_value());
    expect_pinned({std::nullopt, run->status, x, run->bestnorm, run->niter, run->nfev},
                  kPinnedRuns[i], "solve");
  }
}

class PinnedLaneRuns : public ::testing::TestWithParam<LaneKernels> {};

TEST_P(PinnedLaneRuns, LanesKeepTheirBits) {
  const LaneKernels& kernels = GetParam();
  if (!kernels.runs_here()) GTEST_SKIP() << "this processor lacks " << kernels.name;
  const Family family = pinned_family();
  std::vector<LaneCurveOutcome> lanes(family.problems.size());
  kernels.solve_in_lanes(family.problems, lanes);
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    expect_pinned(lanes[i], kPinnedRuns[i], kernels.name);
  }
}

INSTANTIATE_TEST_SUITE_P(Curves, PinnedLaneRuns, ::testing::ValuesIn(kLaneKernels),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace quillet::solver
#endif
