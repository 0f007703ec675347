#include "solver/jacobian.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "solver/testing/case_names.hpp"
#include "solver/testing/curve_model.hpp"

namespace quillet::solver {
namespace {

using namespace testing;

constexpr double kEps = 1.4901161193847656e-08;  // sqrt(2^-52)

// A run state at point b with its residuals, ready for the Jacobian step.
RunState state_at(CurveModel& model, const std::vector<ParamConstraint>& c,
                  const std::vector<double>& b) {
  RunState s = make_run_state(model.residual_count(), c, {});
  std::ranges::copy(b, s.xnew.begin());
  model.evaluate(s.xnew, s.fvec);
  return s;
}

struct SideCase {
  DerivSide side;
  std::uint64_t cost;  // evaluations for two columns
};

class SideTest : public ::testing::TestWithParam<SideCase> {};

TEST_P(SideTest, CloseToAnalyticAtItsCost) {
  CurveModel model{decay, decay_grad, {0, 0.5, 1, 2, 4}, {1, 2, 3, 4, 5}};
  const std::vector<double> b{3, 0.7};
  RunState s = state_at(model, free_params(2, GetParam().side), b);
  const std::vector<double> fvec(s.fvec.begin(), s.fvec.end());
  compute_jacobian(model, s, kEpsilon);
  EXPECT_EQ(s.nfev, 1 + GetParam().cost);
  for (std::size_t i = 0; i < 5; ++i) {
    double g[2];
    decay_grad(b.data(), model.x[i], g);
    for (std::size_t j = 0; j < 2; ++j) {
      EXPECT_NEAR(s.fjac[i + 5 * j], g[j], 1e-6 * std::fabs(g[j]));
    }
  }
  EXPECT_EQ(std::vector<double>(s.xnew.begin(), s.xnew.end()), b);
  EXPECT_EQ(std::vector<double>(s.fvec.begin(), s.fvec.end()), fvec);
}

INSTANTIATE_TEST_SUITE_P(
    Jacobian, SideTest,
    ::testing::Values(SideCase{DerivSide::Auto, 2}, SideCase{DerivSide::Plus, 2},
                      SideCase{DerivSide::Minus, 2}, SideCase{DerivSide::Both, 4},
                      SideCase{DerivSide::Analytic, 1}),
    [](const auto& param_info) {
      const auto& c = param_info.param;
      return test_support::case_name(
          param_info.index,
          test_support::label_of("side", static_cast<int>(c.side), "cost", c.cost));
    });

struct StepCase {
  ParamConstraint c;
  double v, epsfcn, h;
};

TEST(JacobianTest, StepSizeAndDirection) {
  const StepCase cases[] = {
      {{.step = 0.1, .rel_step = 0.01, .side = DerivSide::Plus}, 3, 0, 0.03},  // rel_step wins
      {{.step = 0.1, .side = DerivSide::Plus}, 3, 0, 0.1},
      {{.side = DerivSide::Plus}, 0, 0, kEps},  // nothing to scale by
      {{.side = DerivSide::Plus}, -2, std::numeric_limits<double>::quiet_NaN(), 2 * kEps},
      {{.side = DerivSide::Plus}, 2, 0.25, 1},
      {{.side = DerivSide::Minus}, 2, 0, -2 * kEps},
      {{.has_upper = true, .upper = 10, .side = DerivSide::Auto}, 10, 0, -10 * kEps},
      {{.has_upper = false, .upper = 10, .side = DerivSide::Auto}, 10, 0, 10 * kEps},
      {{.has_upper = true, .upper = 10, .side = DerivSide::Both}, 10, 0, 10 * kEps},
  };
  for (const StepCase& sc : cases) {
    CurveModel model{constant, nullptr, {0}, {0}};
    RunState s = state_at(model, {sc.c}, {sc.v});
    EXPECT_EQ(finite_difference_step(s, 0, sc.v, finite_difference_eps(sc.epsfcn)), sc.h)
        << "v " << sc.v << " side " << static_cast<int>(sc.c.side);
  }
}

TEST(JacobianTest, SlotsOnlyForModelColumnsAndUnwrittenStaysZero) {
  struct SlotModel {
    std::vector<bool> present;
    std::size_t residual_count() const { return 2; }
    void evaluate(std::span<const double>, std::span<double> out) { out[0] = out[1] = 1; }
    void evaluate_with_derivs(std::span<const double> b, std::span<double> out,
                              std::span<const std::span<double>> d) {
      evaluate(b, out);
      for (const auto& slot : d) present.push_back(!slot.empty());
    }
  } model;
  auto c = free_params(4, DerivSide::Analytic);
  c[1].fixed = true;
  c[2].side = DerivSide::Plus;
  RunState s = make_run_state(2, c, {});
  std::ranges::fill(s.fvec, 1.0);  // where the model says; the Plus column is then 0 too
  compute_jacobian(model, s, 0);
  EXPECT_EQ(model.present, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(std::vector<double>(s.fjac.begin(), s.fjac.end()), std::vector<double>(6, 0.0));
}

TEST(JacobianTest, DebugPrintsModelBesideNumericDerivative) {
  // b0: model derivative 0.5 against a true 1 (every row printed, tolerances
  // 0); b1 fixed, so b2 prints as parameter 2; b2: model derivative off by
  // 0.01 in row 1 only, shown because it exceeds the absolute tolerance.
  CurveModel model{
      quadratic,
      [](const double*, double x, double* g) { g[0] = 0.5, g[1] = x, g[2] = x * x + 0.01 * x; },
      {0, 1},
      {2, -3}};
  auto c = free_params(3, DerivSide::Analytic);
  c[0].deriv_debug = true;
  c[1].fixed = true;
  c[2] = {.side = DerivSide::Plus, .deriv_debug = true, .deriv_abs_tol = 1e-3};
  RunState s = state_at(model, c, {0, 0, 0});
  ::testing::internal::CaptureStderr();
  compute_jacobian(model, s, 0);
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed,
            "FJAC DEBUG BEGIN\n"
            "#        IPNT       FUNC    DERIV_U    DERIV_N   DIFF_ABS   DIFF_REL\n"
            "FJAC PARM 0\n"
            "            0  -2.0000e0  5.0000e-1   1.0000e0 -5.0000e-1  -1.0000e0\n"
            "            1   3.0000e0  5.0000e-1   1.0000e0 -5.0000e-1  -1.0000e0\n"
            "FJAC PARM 2\n"
            "            1   3.0000e0   1.0100e0   1.0000e0  1.0000e-2  9.9010e-3\n"
            "FJAC DEBUG END\n");
  // The numeric derivative replaces the model's; the debug costs one more evaluation each.
  EXPECT_EQ(std::vector<double>(s.fjac.begin(), s.fjac.end()), (std::vector<double>{1, 1, 0, 1}));
  EXPECT_EQ(s.nfev, 4u);
}

}  // namespace
}  // namespace quillet::solver
