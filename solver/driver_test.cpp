#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "solver/driver_steps.hpp"
#include "solver/solver.hpp"
#include "solver/testing/case_names.hpp"
#include "solver/testing/curve_model.hpp"

namespace quillet::solver {
namespace {

using namespace testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

bool converged(const SolverResult& r) { return r.status != SolverStatus::MaxIterReached; }

// The exact decay 3 exp(-0.7 x) at twelve samples.
CurveModel decay_model() { return exact_curve(decay, decay_grad, grid(0, 0.5, 12), {3, 0.7}); }

// --- Input checks: which error a caller sees when several apply. ---

struct Inputs {
  std::size_t m = 5;
  double first_y = 0;
  SolverConfig config;
  std::vector<ParamConstraint> c = free_params(3, DerivSide::Analytic);
  std::vector<double> x{1, 1, 1};
  std::vector<double> scale;
};

struct InputCase {
  const char* name;
  void (*tweak)(Inputs&);
  std::optional<SolverError> expected;  // nullopt: the run goes ahead
};

const InputCase kInputCases[] = {
    {"NoResidualsBeforeBadTolerance", [](Inputs& s) { s.m = 0, s.config.ftol = 0; },
     SolverError::NoResiduals},
    {"ZeroFtol", [](Inputs& s) { s.config.ftol = 0; }, SolverError::BadInput},
    {"NegativeXtol", [](Inputs& s) { s.config.xtol = -1; }, SolverError::BadInput},
    {"ZeroGtol", [](Inputs& s) { s.config.gtol = 0; }, SolverError::BadInput},
    {"ZeroStepFactor", [](Inputs& s) { s.config.step_factor = 0; }, SolverError::BadInput},
    {"NaNFtolPasses", [](Inputs& s) { s.config.ftol = kNaN; }, std::nullopt},
    {"ZeroEpsfcnAndCovtolPass", [](Inputs& s) { s.config.epsfcn = s.config.covtol = 0; },
     std::nullopt},
    {"UserScaleWithoutScale", [](Inputs& s) { s.config.user_scale = true; }, SolverError::BadInput},
    {"UserScaleBeforeNoFreeParams",
     [](Inputs& s) {
       s.config.user_scale = true;
       for (auto& c : s.c) c.fixed = true;
     },
     SolverError::BadInput},
    {"UserScaleWithScale",
     [](Inputs& s) {
       s.config.user_scale = true, s.scale = {1, 1, 1};
     },
     std::nullopt},
    {"StartShorterThanConstraints",
     [](Inputs& s) {
       s.x = {1, 1};
     },
     SolverError::BadInput},
    {"AllFixedBeforeOutsideLimits",
     [](Inputs& s) {
       for (auto& c : s.c) c.fixed = true, c.has_lower = true, c.lower = 2;
     },
     SolverError::NoFreeParams},
    {"FixedParamOutsideLimits",
     [](Inputs& s) { s.c[1].fixed = true, s.c[1].has_upper = true, s.c[1].upper = 0.5; },
     SolverError::InitialOutsideLimits},
    {"FixedParamWithCrossedLimitsIsFine",
     [](Inputs& s) {
       s.c[1] = {.fixed = true, .has_lower = true, .has_upper = true, .lower = 1, .upper = 1};
     },
     std::nullopt},
    {"OutsideBeforeInconsistentOfLaterParam",
     [](Inputs& s) {
       s.c[0].has_lower = true, s.c[0].lower = 2;
       s.c[1] = {.has_lower = true, .has_upper = true, .lower = 3, .upper = 0};
     },
     SolverError::InitialOutsideLimits},
    {"InconsistentBeforeOutsideOfLaterParam",
     [](Inputs& s) {
       s.c[0] = {.has_lower = true, .has_upper = true, .lower = 1, .upper = 1};
       s.c[1].has_upper = true, s.c[1].upper = 0;
     },
     SolverError::InconsistentLimits},
    {"ThreeFreeTwoResiduals", [](Inputs& s) { s.m = 2; }, SolverError::TooFewResiduals},
    {"ThreeFreeThreeResiduals", [](Inputs& s) { s.m = 3; }, std::nullopt},
    {"TwoFreeTwoResiduals", [](Inputs& s) { s.m = 2, s.c[2].fixed = true; }, std::nullopt},
    // A non-finite start used to run on (and, with NaN, never end).
    {"NaNStartingResidual", [](Inputs& s) { s.first_y = kNaN; }, SolverError::NonFinite},
    {"InfiniteStartingResidual", [](Inputs& s) { s.first_y = kInf; }, SolverError::NonFinite},
};

class InputCheckTest : public ::testing::TestWithParam<InputCase> {};

TEST_P(InputCheckTest, RefusesInOrder) {
  Inputs s;
  GetParam().tweak(s);
  CurveModel model =
      exact_curve(quadratic, quadratic_grad, grid(0, 1, static_cast<int>(s.m)), {0.5, -1, 0.25});
  if (s.m > 0) model.y[0] = s.first_y;
  const std::vector<double> start = s.x;
  const auto result = solve(model, s.config, s.c, std::span<double>(s.x), s.scale);
  if (const auto expected = GetParam().expected) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), *expected);
    EXPECT_EQ(s.x, start);
    // Refusals come before the first evaluation; NonFinite right after it.
    EXPECT_EQ(model.evaluations, *expected == SolverError::NonFinite ? 1u : 0u);
  } else {
    EXPECT_TRUE(result.has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(Solve, InputCheckTest, ::testing::ValuesIn(kInputCases),
                         [](const auto& tc) { return std::string(tc.param.name); });

// --- Problems with known answers. ---

TEST(SolveTest, LinearFitMatchesNormalEquationsAroundFixedParam) {
  // y = b0 + b2 x^2 with b1 fixed at 0: the answer and its covariance follow
  // from the 2x2 normal equations in the basis (1, x^2).
  CurveModel model{quadratic, quadratic_grad, grid(0, 0.5, 9), {}};
  for (std::size_t i = 0; i < model.x.size(); ++i) {
    model.y.push_back(1.5 - 0.25 * model.x[i] * model.x[i] +
                      (static_cast<double>((i * 7) % 5) - 2) * 0.1);
  }
  double n = 0, su = 0, suu = 0, sy = 0, suy = 0;
  for (std::size_t i = 0; i < model.x.size(); ++i) {
    const double u = model.x[i] * model.x[i];
    n += 1, su += u, suu += u * u, sy += model.y[i], suy += u * model.y[i];
  }
  const double det = n * suu - su * su;
  const double b2 = (n * suy - su * sy) / det;
  const double b0 = (sy - b2 * su) / n;

  auto c = free_params(3, DerivSide::Analytic);
  c[1].fixed = true;
  std::vector<double> x{0, 0, 0};
  const auto r = solve(model, SolverConfig{}, c, std::span<double>(x));
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(converged(*r));
  EXPECT_NEAR(x[0], b0, 1e-12);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_NEAR(x[2], b2, 1e-12);
  const std::vector<double> covar(r->covar.begin(), r->covar.end());
  const std::vector<double> expected{suu / det, 0, -su / det, 0, 0, 0, -su / det, 0, n / det};
  for (std::size_t k = 0; k < 9; ++k) EXPECT_NEAR(covar[k], expected[k], 1e-12) << k;
  EXPECT_EQ(r->xerror[0], std::sqrt(r->covar[0]));
  EXPECT_EQ(r->xerror[1], 0.0);
  EXPECT_EQ(r->nfree, 2u);
  EXPECT_EQ(r->nfunc, 9u);
}

class DecayBySideTest : public ::testing::TestWithParam<DerivSide> {};

TEST_P(DecayBySideTest, RecoversExactDecay) {
  CurveModel model = decay_model();
  std::vector<double> x{1, 0.1};
  const auto r = solve(model, SolverConfig{}, free_params(2, GetParam()), std::span<double>(x));
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(converged(*r));
  EXPECT_NEAR(x[0], 3, 1e-8);
  EXPECT_NEAR(x[1], 0.7, 1e-8);
  EXPECT_LT(r->bestnorm, 1e-15);
  EXPECT_EQ(r->nfev, model.evaluations + 1);
  // Pinned: six Jacobians, six accepted trials. A Jacobian costs one
  // evaluation per one-sided column, two per central one, one in all when
  // analytic.
  const DerivSide side = GetParam();
  const std::uint64_t jacobian = side == DerivSide::Both ? 4 : side == DerivSide::Analytic ? 1 : 2;
  EXPECT_EQ(r->status, SolverStatus::XtolReached);
  EXPECT_EQ(r->niter, 7u);
  EXPECT_EQ(r->nfev, 2 + 6 * jacobian + 6);
}

INSTANTIATE_TEST_SUITE_P(Solve, DecayBySideTest,
                         ::testing::Values(DerivSide::Auto, DerivSide::Plus, DerivSide::Minus,
                                           DerivSide::Both, DerivSide::Analytic),
                         [](const auto& param_info) {
                           const auto& c = param_info.param;
                           return test_support::case_name(
                               param_info.index,
                               test_support::label_of("side", static_cast<int>(c)));
                         });

TEST(SolveTest, GaussianFreeAndBeyondABound) {
  // Free, the exact Gaussian is recovered; with sigma at most 0.6 (the truth
  // being 0.8) the fit ends exactly on that bound, which counts as pegged.
  for (const bool bounded : {false, true}) {
    CurveModel model = exact_curve(gaussian, gaussian_grad, grid(-3, 0.25, 25), {2, 0.3, 0.8});
    auto c = free_params(3, DerivSide::Analytic);
    c[2].has_upper = bounded, c[2].upper = 0.6;
    std::vector<double> x{1, 0, 0.5};
    const auto r = solve(model, SolverConfig{}, c, std::span<double>(x));
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(converged(*r));
    EXPECT_EQ(r->npegged, bounded ? 1u : 0u);
    if (bounded) {
      EXPECT_EQ(x[2], 0.6);
    } else {
      const double truth[] = {2, 0.3, 0.8};
      for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(x[k], truth[k], 1e-10);
    }
  }
}

// --- Limits. A constant fitted to y = target, one step (max_iter 1) from start. ---

struct LimitCase {
  const char* name;
  double start, target;
  ParamConstraint c;
  double after_one_step;
  std::uint64_t npegged;
};

constexpr double kOnePlus = 1.0000000000000002;  // 1 + eps

const LimitCase kLimitCases[] = {
    // The step crosses the limit and is shortened to land on it exactly,
    // though 0.3 and -0.7 are not reachable as start + alpha * step.
    {"ShortenedOntoUpper", 0, 5, {.has_upper = true, .upper = 0.3}, 0.3, 1},
    {"ShortenedOntoLower", 1, -5, {.has_lower = true, .lower = -0.7}, -0.7, 1},
    // From far away x + alpha * step stays above the limit by far more than eps.
    {"ShortenedFromFar", 1e6, -5, {.has_lower = true, .lower = 0.3}, 0.3, 1},
    // A trial within a relative eps of a limit is snapped onto it.
    {"SnappedToUpper", 0, 1, {.has_upper = true, .upper = kOnePlus}, kOnePlus, 1},
    {"SnappedToLower", 0, -1, {.has_lower = true, .lower = -kOnePlus}, -kOnePlus, 1},
    // For a limit of 0, within an absolute eps.
    {"SnappedToZeroUpper", -1e-16, -1e-17, {.has_upper = true, .upper = 0}, 0.0, 1},
    // Inactive limits (stored as 0) used to freeze a parameter
    // starting at 0 whose gradient points below 0, ending the run at once.
    {"InactiveLimitDoesNotFreeze", 0, -5, {.has_upper = true, .upper = 10}, -5.0, 0},
};

class LimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(LimitTest, FirstStepLandsExactly) {
  const LimitCase& lc = GetParam();
  CurveModel model{constant, constant_grad, {0}, {lc.target}};
  std::vector<ParamConstraint> c{lc.c};
  c[0].side = DerivSide::Analytic;
  SolverConfig config;
  config.max_iter = 1;
  std::vector<double> x{lc.start};
  const auto r = solve(model, config, c, std::span<double>(x));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status, SolverStatus::MaxIterReached);
  EXPECT_EQ(r->niter, 2u);
  EXPECT_EQ(x[0], lc.after_one_step);
  EXPECT_EQ(r->npegged, lc.npegged);
}

INSTANTIATE_TEST_SUITE_P(Solve, LimitTest, ::testing::ValuesIn(kLimitCases),
                         [](const auto& tc) { return std::string(tc.param.name); });

// --- How runs end. ---

TEST(SolveTest, StopsAtFirstJacobian) {
  // max_iter 0 stops after the first Jacobian; at the solution the gradient
  // test stops first. Either way nothing moves, and the counter (starting at
  // 1) has seen the start and the derivatives.
  for (const std::uint64_t max_iter : {0, 200}) {
    CurveModel model = decay_model();
    SolverConfig config;
    config.max_iter = max_iter;
    const std::vector<double> start =
        max_iter == 0 ? std::vector<double>{1, 0.1} : std::vector<double>{3, 0.7};
    std::vector<double> x = start;
    const auto r = solve(model, config, free_params(2, DerivSide::Analytic), std::span<double>(x));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status, max_iter == 0 ? SolverStatus::MaxIterReached : SolverStatus::GtolReached);
    EXPECT_EQ(r->niter, 1u);
    EXPECT_EQ(r->nfev, 3u);
    EXPECT_EQ(r->bestnorm, r->orignorm);
    EXPECT_EQ(x, start);
  }
}

TEST(SolveTest, EvaluationLimits) {
  EXPECT_EQ(resolve_max_fev(MaxFev::defaults(), 3), 800u);
  EXPECT_EQ(resolve_max_fev(MaxFev::at_most(0), 3), 800u);
  EXPECT_EQ(resolve_max_fev(MaxFev::at_most(7), 3), 7u);
  EXPECT_EQ(resolve_max_fev(MaxFev::unlimited(), 3), 0u);
  for (const MaxFev limit : {MaxFev::at_most(5), MaxFev::unlimited()}) {
    CurveModel model = decay_model();
    SolverConfig config;
    config.max_fev = limit;
    std::vector<double> x{1, 0.1};
    const auto r = solve(model, config, free_params(2, DerivSide::Auto), std::span<double>(x));
    ASSERT_TRUE(r.has_value());
    // With the limit: 1 + start + a two-column Jacobian + the first trial.
    EXPECT_EQ(r->status == SolverStatus::MaxIterReached, limit.kind == MaxFev::Kind::Limit);
    EXPECT_EQ(r->nfev == 5, limit.kind == MaxFev::Kind::Limit);
  }
}

TEST(SolveTest, NonFiniteJacobianUnlessUnchecked) {
  CurveModel model = decay_model();
  model.gradient = [](const double*, double, double* g) { g[0] = kInf, g[1] = 1; };
  for (const bool unchecked : {false, true}) {
    SolverConfig config;
    config.no_finite_check = unchecked;
    config.max_iter = 0;
    std::vector<double> x{1, 0.1};
    const auto r = solve(model, config, free_params(2, DerivSide::Analytic), std::span<double>(x));
    EXPECT_EQ(r ? std::nullopt : std::optional(r.error()),
              unchecked ? std::nullopt : std::optional(SolverError::NonFinite));
  }
}

TEST(SolveTest, UserScaleIsNeverOverwritten) {
  const std::vector<double> scale{0.25, 4};
  CurveModel model = decay_model();
  SolverConfig config;
  config.user_scale = true;
  RunState s = make_run_state(model.y.size(), free_params(2, DerivSide::Analytic), {});
  const std::vector<double> start{1, 0.1};
  begin_run(s, config, start, scale);
  model.evaluate(start, s.fvec);
  ASSERT_TRUE(measure_start(s));
  compute_jacobian(model, s, config.epsfcn);
  ASSERT_TRUE(factor_jacobian(s, config));
  EXPECT_EQ(std::vector<double>(s.diag.begin(), s.diag.end()), scale);

  std::vector<double> x = start;
  const auto r =
      solve(model, config, free_params(2, DerivSide::Analytic), std::span<double>(x), scale);
  ASSERT_TRUE(r.has_value());
  EXPECT_NEAR(x[0], 3, 1e-8);
  EXPECT_NEAR(x[1], 0.7, 1e-8);
}

}  // namespace
}  // namespace quillet::solver
