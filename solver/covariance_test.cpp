#include "solver/covariance.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "solver/testing/factored_jacobian.hpp"

namespace quillet::solver {
namespace {

TEST(Covariance, OneFreeParameterIsTheSquaredReciprocal) {
  std::vector<double> fjac{-3.0, 5.0, 6.0}, scratch(1);
  covariance(1, fjac, 3, std::vector<std::size_t>{0}, 1e-14, scratch);
  EXPECT_EQ(fjac, (std::vector<double>{(1.0 / -3.0) * (1.0 / -3.0), 5.0, 6.0}));
}

struct JacobianCase {
  std::string name;
  std::size_t m;
  std::vector<double> j;
};

class CovarianceOfJacobian : public ::testing::TestWithParam<JacobianCase> {};

TEST_P(CovarianceOfJacobian, InvertsTheNormalMatrix) {
  const std::size_t m = GetParam().m;
  testing::FactoredJacobian fact(m, GetParam().j, std::vector<double>(m, 0.0));
  const std::size_t n = fact.n;
  const std::vector<double> before = fact.fjac;
  std::vector<double> scratch(n);
  covariance(n, fact.fjac, m, fact.ipvt, 1e-14, scratch);

  std::vector<double> v(n * n), identity(n * n, 0.0);
  for (std::size_t k = 0; k < n; ++k) {
    identity[k + n * k] = 1.0;
    for (std::size_t i = 0; i < n; ++i) v[i + n * k] = fact.fjac[i + m * k];
    for (std::size_t i = n; i < m; ++i) EXPECT_EQ(fact.fjac[i + m * k], before[i + m * k]);
  }
  const std::vector<double> jtj = testing::transpose_times(fact.jacobian, fact.jacobian, m);
  testing::expect_all_near(testing::transpose_times(v, jtj, n), identity, 1e-13);  // V symmetric
}

INSTANTIATE_TEST_SUITE_P(
    FullRank, CovarianceOfJacobian,
    ::testing::Values(
        JacobianCase{"Tall5x3", 5, {1, 0.5, -2, 0.25, 1, 3, -1, 4, 1, -5, 0.5, 2, -1, 3, 2}},
        JacobianCase{"Square3x3", 3, {2, -1, 0, -1, 2, -1, 0, -1, 2}},
        JacobianCase{"NegativeDiagonals", 4, {-3, 1, 2, 0, 1, -4, 0.5, 2}}),
    [](const auto& p) { return p.param.name; });

struct RankCase {
  std::string name;
  std::vector<double> r;  // 3 x 3 upper triangle, column-major
  double covtol;
  std::vector<double> v;  // expected, pivot order, column-major
};

class CovarianceRank : public ::testing::TestWithParam<RankCase> {};

TEST_P(CovarianceRank, CutsFromTheFirstSmallPivotOn) {
  const std::vector<std::size_t> ipvt{2, 0, 1};  // pivot a is free parameter ipvt[a]
  std::vector<double> fjac = GetParam().r, scratch(3);
  covariance(3, fjac, 3, ipvt, GetParam().covtol, scratch);
  for (std::size_t a = 0; a < 3; ++a) {
    for (std::size_t b = 0; b < 3; ++b) {
      EXPECT_DOUBLE_EQ(fjac[ipvt[a] + 3 * ipvt[b]], GetParam().v[a + 3 * b]) << a << "," << b;
    }
  }
}

// R = [[4, 1, 1], [0, 2, 1], [0, 0, 2]], R^-1 = [[1/4, -1/8, -1/16],
// [0, 1/2, -1/4], [0, 0, 1/2]], V = R^-1 R^-T.
const std::vector<double> kR{4, 0, 0, 1, 2, 0, 1, 1, 2};
const std::vector<double> kFullV{21.0 / 256, -3.0 / 64, -1.0 / 32, -3.0 / 64, 5.0 / 16,
                                 -1.0 / 8,   -1.0 / 32, -1.0 / 8,  1.0 / 4};
const std::vector<double> kFirstOnlyV{1.0 / 16, 0, 0, 0, 0, 0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Tolerance, CovarianceRank,
    ::testing::Values(
        RankCase{"FullRank", kR, 0.25, kFullV},
        // tolr = 4 covtol, just below 2: the pivots of 2 pass; at 2 they are cut.
        RankCase{"PivotJustAboveTolerance", kR, std::nextafter(0.5, 0.0), kFullV},
        RankCase{"PivotEqualToToleranceIsCut", kR, 0.5, kFirstOnlyV},
        RankCase{"LaterPivotsAreCutToo", {4, 0, 0, 1, 0.5, 0, 1, 1, 100}, 0.25, kFirstOnlyV},
        // (R^T R)^-1 of the leading block [[4, 1], [0, 2]].
        RankCase{"LastPivotCut",
                 {4, 0, 0, 1, 2, 0, 1, 1, 1},
                 0.25,
                 {5.0 / 64, -1.0 / 16, 0, -1.0 / 16, 1.0 / 4, 0, 0, 0, 0}},
        RankCase{"FirstPivotZero", {0, 0, 0, 1, 2, 0, 1, 1, 2}, 1e-14, std::vector<double>(9, 0.0)},
        RankCase{"CovtolOne", kR, 1.0, std::vector<double>(9, 0.0)}),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace quillet::solver
