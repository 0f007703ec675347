#include "solver/qr_factor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "solver/testing/factored_jacobian.hpp"

namespace quillet::solver {
namespace {

using testing::FactoredJacobian;
using testing::transpose_times;

struct MatrixCase {
  std::string name;
  std::size_t m;
  std::vector<double> j;  // column-major
};

class QrFactorMatrix : public ::testing::TestWithParam<MatrixCase> {};

// Q is orthogonal, so J P = Q R gives (J P)^T (J P) = R^T R and
// (J P)^T f = R^T qtf, and Q^T f keeps the length of f.
TEST_P(QrFactorMatrix, ReproducesTheNormalEquations) {
  const std::size_t m = GetParam().m;
  std::vector<double> f(m);
  for (std::size_t i = 0; i < m; ++i) f[i] = 0.7 + 0.5 * static_cast<double>(i * i);
  const FactoredJacobian q(m, GetParam().j, f);
  const std::vector<double> jp = q.permuted_jacobian();
  const std::vector<double> r = q.r();
  testing::expect_all_near(transpose_times(r, r, q.n), transpose_times(jp, jp, m), 1e-12);
  testing::expect_all_near(transpose_times(r, q.qtf, q.n), transpose_times(jp, f, m), 1e-12);
  EXPECT_NEAR(transpose_times(q.work, q.work, m)[0], transpose_times(f, f, m)[0], 1e-12);
  const std::vector<double> jtj = transpose_times(q.jacobian, q.jacobian, m);
  for (std::size_t j = 0; j < q.n; ++j) {
    EXPECT_NEAR(q.acnorm[j], std::sqrt(jtj[j + q.n * j]), 1e-14);  // entry order
    EXPECT_EQ(q.fjac[j + m * j], q.rdiag[j]);
    EXPECT_EQ(q.qtf[j], q.work[j]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, QrFactorMatrix,
    ::testing::Values(
        MatrixCase{"Tall5x3", 5, {1, 0.5, -2, 0.25, 1, 3, -1, 4, 1, -5, 0.5, 2, -1, 3, 2}},
        MatrixCase{"Square3x3", 3, {2, -1, 0, -1, 2, -1, 0, -1, 2}},
        MatrixCase{"NegativeDiagonals", 4, {-3, 1, 2, 0, 1, -4, 0.5, 2}},
        MatrixCase{"ZeroColumn", 3, {0, 0, 0, 1, 2, 2}}, MatrixCase{"SingleColumn", 3, {2, -1, 2}}),
    [](const auto& p) { return p.param.name; });

struct PivotCase {
  std::string name;
  std::size_t m;
  std::vector<double> j;
  std::vector<std::size_t> ipvt;
};

class QrFactorPivot : public ::testing::TestWithParam<PivotCase> {};

TEST_P(QrFactorPivot, ChoosesColumnsInThisOrder) {
  const auto& c = GetParam();
  EXPECT_EQ(FactoredJacobian(c.m, c.j, std::vector<double>(c.m, 1.0)).ipvt, c.ipvt);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Order, QrFactorPivot,
    ::testing::Values(PivotCase{"LargestFirst", 2, {1, 0, 0, 2}, {1, 0}},
                      PivotCase{"TieKeepsLowerIndex", 2, {3, 4, 0, 5}, {0, 1}},
                      // Columns 1 and 2 tie at the first step; column 2 wins the second.
                      PivotCase{"TieThenLargest", 3, {1, 0, 0, 0, 2, 0, 0, 0, 2}, {1, 2, 0}},
                      PivotCase{"ZeroColumnGoesLast", 3, {0, 0, 0, 1, 2, 2}, {1, 0}},
                      PivotCase{"SingleColumn", 3, {5, 0, 1}, {0}},
                      PivotCase{"NaNCandidateStays", 2, {kNaN, 0, 0, 2}, {0, 1}},
                      PivotCase{"NaNNeverWins", 2, {1, 0, kNaN, 0}, {0, 1}},
                      // After step 0 the downdated norm of column 1 cancels to 0; recomputed
                      // it is 3e-9 and beats column 2's 2e-9.
                      PivotCase{"CancelledNormIsRecomputed",
                                4,
                                {1, 0, 0, 0, 1, 3e-9, 0, 0, 0, 0, 2e-9, 0},
                                {0, 1, 2}}),
    [](const auto& p) { return p.param.name; });

struct OneColumnCase {
  std::string name;
  std::vector<double> j;
  double rdiag, qtf;  // for f = (1, 2)
};

class QrFactorOneColumn : public ::testing::TestWithParam<OneColumnCase> {};

// The first column of Q is J / R[0,0], so qtf = J^T f / R[0,0].
TEST_P(QrFactorOneColumn, DiagonalSignAndQtfByHand) {
  const auto& c = GetParam();
  const FactoredJacobian q(2, c.j, {1.0, 2.0});
  EXPECT_EQ(q.rdiag[0], c.rdiag);
  EXPECT_EQ(std::signbit(q.rdiag[0]), std::signbit(c.rdiag));
  EXPECT_DOUBLE_EQ(q.qtf[0], c.qtf);
}

INSTANTIATE_TEST_SUITE_P(SignRules, QrFactorOneColumn,
                         ::testing::Values(OneColumnCase{"Positive", {3, 4}, -5.0, -11.0 / 5.0},
                                           OneColumnCase{"Negative", {-3, 4}, 5.0, 1.0},
                                           OneColumnCase{"NegativeZero", {-0.0, 5}, -5.0, -2.0},
                                           OneColumnCase{"ZeroColumnSkipped", {0, 0}, -0.0, 1.0}),
                         [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace quillet::solver
