#include "solver/lm_parameter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "solver/testing/case_names.hpp"
#include "solver/testing/factored_jacobian.hpp"

namespace quillet::solver {
namespace {

using testing::transpose_times;

constexpr double kSentinel = 7.0;

// One lm_parameter call on a factored Jacobian. The free parameters are full
// indices 0, 2, 3, ... (parameter 1 fixed, its scale never read), so every
// scale goes through ifree.
struct LmCall {
  testing::FactoredJacobian fact;
  std::vector<std::size_t> ifree;
  std::vector<double> diag, u, sdiag, w1, w2;
  double par = 0.0;

  LmCall(std::size_t m, std::vector<double> j, std::vector<double> f)
      : fact(m, std::move(j), std::move(f)),
        ifree(fact.n),
        diag(fact.n + 1, 99.0),
        u(fact.n, kSentinel),
        sdiag(fact.n, kSentinel),
        w1(fact.n),
        w2(fact.n) {
    for (std::size_t k = 0; k < fact.n; ++k) {
      ifree[k] = k == 0 ? 0 : k + 1;
      diag[ifree[k]] = fact.acnorm[k] == 0.0 ? 1.0 : fact.acnorm[k];  // the driver's scaling
    }
  }
  double d(std::size_t k) const { return diag[ifree[k]]; }
  void run(double delta, double par_in) {
    par = par_in;
    lm_parameter(fact.n, fact.fjac, fact.m, fact.ipvt, ifree, diag, fact.qtf, delta, par, u, sdiag,
                 w1, w2);
  }
  double step_norm() const {  // |D u|
    double s = 0.0;
    for (std::size_t k = 0; k < fact.n; ++k) s += (d(k) * u[k]) * (d(k) * u[k]);
    return std::sqrt(s);
  }
  // (J^T J + par D^2) u - J^T f, formed directly: zero when u solves the
  // damped normal equations.
  std::vector<double> damped_residual() const {
    std::vector<double> a = transpose_times(fact.jacobian, fact.jacobian, fact.m);
    for (std::size_t k = 0; k < fact.n; ++k) a[k + fact.n * k] += par * d(k) * d(k);
    std::vector<double> res = transpose_times(a, u, fact.n);  // a is symmetric
    const std::vector<double> jtf = transpose_times(fact.jacobian, fact.f, fact.m);
    for (std::size_t k = 0; k < fact.n; ++k) res[k] -= jtf[k];
    return res;
  }
};

const std::vector<double> kTall{1, 0.5, -2, 0.25, 1, 3, -1, 4, 1, -5, 0.5, 2, -1, 3, 2};
const std::vector<double> kResiduals{1, -2, 0.5, 3, -1};
const std::vector<double> kZero3(3, 0.0);

TEST(LmParameter, AcceptsAShortGaussNewtonStepUntouched) {
  LmCall call(5, kTall, kResiduals);
  const std::vector<double> fjac_before = call.fact.fjac;
  call.run(1e300, 3.0);
  EXPECT_EQ(call.par, 0.0);
  testing::expect_all_near(call.damped_residual(), kZero3, 1e-12);
  EXPECT_EQ(call.sdiag, std::vector<double>(3, kSentinel));
  EXPECT_EQ(call.fact.fjac, fjac_before);
}

TEST(LmParameter, AcceptsAGaussNewtonStepOfExactlyElevenTenthsDelta) {
  LmCall call(1, {1}, {11});
  call.run(10.0, 1.0);  // |D u| - delta = 1 = 0.1 delta exactly
  EXPECT_EQ(call.par, 0.0);
  EXPECT_EQ(call.u[0], 11.0);
}

TEST(LmParameter, ZeroQtfGivesZeroStep) {
  LmCall call(5, kTall, std::vector<double>(5, 0.0));
  call.run(0.5, 2.0);
  EXPECT_EQ(call.par, 0.0);
  EXPECT_EQ(call.u, kZero3);
}

TEST(LmParameter, RankDeficientGaussNewtonZeroesTheSingularPart) {
  LmCall call(4, {1, 2, 2, 0, 0, 0, 0, 0}, {1, 1, 1, 1});  // R[1,1] = 0
  call.run(100.0, 0.0);
  EXPECT_EQ(call.par, 0.0);
  testing::expect_all_near(call.u, {{5.0 / 9.0, 0.0}}, 1e-15);
  EXPECT_EQ(call.u[1], 0.0);
}

struct DampedCase {
  double delta_fraction;  // delta relative to the Gauss–Newton |D u|
  double par_in;
};

class LmParameterDamped : public ::testing::TestWithParam<DampedCase> {};

TEST_P(LmParameterDamped, SolvesTheDampedNormalEquationsNearDelta) {
  LmCall call(5, kTall, kResiduals);
  call.run(1e300, 0.0);
  const double delta = GetParam().delta_fraction * call.step_norm();
  const std::vector<double> r_before = call.fact.r();
  call.run(delta, GetParam().par_in);

  EXPECT_GT(call.par, 0.0);
  EXPECT_LE(std::fabs(call.step_norm() - delta), 0.1 * delta);
  testing::expect_all_near(call.damped_residual(), kZero3, 1e-11);
  EXPECT_EQ(call.fact.r(), r_before);
}

INSTANTIATE_TEST_SUITE_P(DeltaAndStart, LmParameterDamped,
                         ::testing::Values(DampedCase{0.5, 0.0}, DampedCase{0.1, 0.0},
                                           DampedCase{0.01, 0.0}, DampedCase{0.5, 1e-3},
                                           DampedCase{0.1, 1e3}, DampedCase{0.01, 1e-9}),
                         [](const auto& param_info) {
                           const auto& c = param_info.param;
                           return test_support::case_name(
                               param_info.index,
                               test_support::label_of("delta", c.delta_fraction, "par", c.par_in));
                         });

TEST(LmParameter, IncomingParIsClampedIntoItsBounds) {
  const auto result = [](double par_in) {
    LmCall call(5, kTall, kResiduals);
    call.run(1.0, par_in);
    return std::pair{call.par, call.u};
  };
  // Beyond paru both starts are lowered to it and run the same iteration;
  // below parl both are raised to it.
  EXPECT_EQ(result(1e300), result(1e250));
  EXPECT_EQ(result(1e-200), result(0.0));
  EXPECT_NE(result(0.0).first, result(1e300).first);
}

TEST(LmParameter, RankDeficientStopsWhenTheStepCannotGrowFurther) {
  // Column 2 is -1/3 of column 0 and column 1 is zero. No par makes |D u|
  // longer than the D-minimum-norm least-squares step (-11/18, 0, 11/6) of
  // length 2.2454, so a bound of 3.7 is out of reach: the iteration stops
  // once fp, negative, stops rising, with parl still 0.
  LmCall call(4, {0, -1.5, 1.5, -1.5, 0, 0, 0, 0, 0, 0.5, -0.5, 0.5}, {0, 1.5, -2, 2});
  call.run(3.7, 0.0);
  EXPECT_LT(call.step_norm(), 0.9 * 3.7);
  testing::expect_all_near(call.u, {{-11.0 / 18.0, 0.0, 11.0 / 6.0}}, 1e-9);
  EXPECT_EQ(call.par, 8.437249899380262e-22);  // the eighth iterate
}

TEST(LmParameter, StopsAfterTenSolvesWithTheTenthResult) {
  // Scales 1, 1e-3 and 1e-200: |D u| falls in steps as par grows, and the
  // Newton corrections creep along the flat stretch without reaching the
  // tolerance in ten solves.
  LmCall call(3, {1, 0, 0, 0, 1e-3, 0, 0, 0, 1e-200}, {1, 1e-3, 1e-3});
  call.diag = {1, 99, 1, 1};
  call.run(0.9, 0.0);
  EXPECT_GT(std::fabs(call.step_norm() - 0.9), 0.1 * 0.9);
  EXPECT_EQ(call.par, 1.9861977121345091e-05);  // the tenth iterate
  testing::expect_all_near(
      call.u, {{1.0 / (1.0 + call.par), 1e-6 / (1e-6 + call.par), 1e-203 / call.par}}, 1e-15);
}

struct RotationCase {
  double r, damp;
  double sdiag;  // its sign tells the tangent form (|damp| <= |r|) from the cotangent form
};

class QrSolveRotation : public ::testing::TestWithParam<RotationCase> {};

TEST_P(QrSolveRotation, OneByOneDampedSolve) {
  const auto [r, damp, expected_sdiag] = GetParam();
  std::vector<double> fjac{r}, u(1), sdiag(1), w(1);
  qr_solve(1, fjac, 1, std::vector<std::size_t>{0}, std::vector<double>{damp},
           std::vector<double>{3.0}, u, sdiag, w);
  EXPECT_DOUBLE_EQ(sdiag[0], expected_sdiag);
  EXPECT_DOUBLE_EQ(u[0], r * 3.0 / (r * r + damp * damp));
  EXPECT_EQ(fjac[0], r);
}

const double kAboveTwo = std::nextafter(2.0, 3.0);

INSTANTIATE_TEST_SUITE_P(
    TangentOrCotangent, QrSolveRotation,
    ::testing::Values(RotationCase{-2.0, 2.0, -std::sqrt(8.0)},
                      RotationCase{2.0, -2.0, std::sqrt(8.0)},
                      RotationCase{-2.0, kAboveTwo, std::hypot(2.0, kAboveTwo)},
                      RotationCase{-kAboveTwo, 2.0, -std::hypot(2.0, kAboveTwo)},
                      RotationCase{-2.0, 0.0, -2.0}),
    [](const auto& param_info) {
      const auto& c = param_info.param;
      return test_support::case_name(param_info.index,
                                     test_support::label_of("r", c.r, "damp", c.damp));
    });  // no damping, no rotation

}  // namespace
}  // namespace quillet::solver
