// The Gaussian model's derivatives, uncertainties and chi-square rule.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "gaussian/gaussian_residuals.hpp"
#include "gaussian/gaussian_uncertainties.hpp"
#include "gaussian/reduced_chi2.hpp"
#include "solver/testing/case_names.hpp"

namespace quillet {
namespace {

struct Samples {
  std::vector<float> x, y, error;
};

Samples line(std::size_t n, double amplitude, double centre, double sigma) {
  Samples s;
  for (std::size_t i = 0; i < n; ++i) {
    const double xi = -5.0 + 10.0 * static_cast<double>(i) / static_cast<double>(n - 1);
    const double d = (xi - centre) / sigma;
    s.x.push_back(static_cast<float>(xi));
    s.y.push_back(
        static_cast<float>(amplitude * std::exp(-0.5 * d * d) + 0.01 * std::sin(7.0 * xi)));
    s.error.push_back(0.05f + 0.01f * static_cast<float>(i % 3));
  }
  return s;
}

TEST(GaussianResiduals, AnalyticDerivativesMatchCentralDifferences) {
  const Samples s = line(25, 2.0, 0.3, 1.2);
  const GaussianResiduals model(s.x, s.y, s.error);
  const std::array<double, 3> p{1.7, 0.1, 1.4};
  std::vector<double> r(25), slots(3 * 25);
  const std::array<std::span<double>, 3> derivs{std::span(slots).subspan(0, 25),
                                                std::span(slots).subspan(25, 25),
                                                std::span(slots).subspan(50, 25)};
  model.evaluate_with_derivs(p, r, derivs);
  for (std::size_t k = 0; k < 3; ++k) {
    const double h = 1e-6 * std::max(1.0, std::fabs(p[k]));
    std::array<double, 3> up = p, down = p;
    up[k] += h;
    down[k] -= h;
    std::vector<double> r_up(25), r_down(25);
    model.evaluate(up, r_up);
    model.evaluate(down, r_down);
    for (std::size_t i = 0; i < 25; ++i) {
      const double numeric = (r_up[i] - r_down[i]) / (2 * h);
      EXPECT_NEAR(derivs[k][i], numeric, 1e-6 * std::max(1.0, std::fabs(numeric)))
          << "parameter " << k << " sample " << i;
    }
  }
  std::vector<double> plain(25);
  model.evaluate(p, plain);
  for (std::size_t i = 0; i < 25; ++i) EXPECT_NEAR(plain[i], r[i], 1e-12 * std::fabs(r[i]) + 1e-15);
}

TEST(GaussianResiduals, AbsentSlotsAreLeftAlone) {
  const Samples s = line(5, 1.0, 0.0, 1.0);
  const GaussianResiduals model(s.x, s.y, s.error);
  std::vector<double> r(5), centre(5, 42.0);
  const std::array<std::span<double>, 3> derivs{std::span<double>{}, std::span(centre),
                                                std::span<double>{}};
  model.evaluate_with_derivs(std::array{1.0, 0.0, 1.0}, r, derivs);
  EXPECT_EQ(centre[2], 0.0);  // the centre derivative vanishes at the centre
  EXPECT_NE(centre[0], 42.0);
}

// The errors are the square roots of the diagonal of (J^T J)^-1 scaled by
// sqrt(chi2 / (n - 3)); check against an explicit 3x3 inverse.
TEST(GaussianUncertainties, MatchInverseNormalMatrix) {
  const Samples s = line(30, 2.0, 0.3, 1.2);
  const std::array<double, 3> p{2.0, 0.3, 1.2};
  double m[3][3] = {};
  for (std::size_t i = 0; i < s.x.size(); ++i) {
    const double w = 1.0 / s.error[i], z = (s.x[i] - p[1]) / p[2], g = std::exp(-0.5 * z * z);
    const double j[3] = {-g * w, -w * z * p[0] * g / p[2], -w * z * z * p[0] * g / p[2]};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) m[a][b] += j[a] * j[b];
  }
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  const double inv_diag[3] = {(m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det,
                              (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det,
                              (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det};
  const double chi2 = 54.0;
  const auto errors = gaussian_uncertainties(s.x, s.error, p, chi2);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(errors[k], std::sqrt(inv_diag[k]) * std::sqrt(chi2 / 27.0),
                1e-5 * std::sqrt(inv_diag[k]));
  }
}

TEST(GaussianUncertainties, ScaleDependsOnDegreesOfFreedom) {
  const Samples three = line(3, 1.0, 0.0, 2.0);
  const std::array<double, 3> p{1.0, 0.0, 2.0};
  const auto unscaled = gaussian_uncertainties(three.x, three.error, p, 1.0);
  const auto same = gaussian_uncertainties(three.x, three.error, p, 100.0);
  EXPECT_EQ(unscaled, same);  // n = 3: never scaled

  const Samples four = line(4, 1.0, 0.0, 2.0);
  const auto base = gaussian_uncertainties(four.x, four.error, p, 1.0);
  const auto scaled = gaussian_uncertainties(four.x, four.error, p, 4.0);
  for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(scaled[k], 2.0f * base[k]);
}

TEST(GaussianUncertainties, DegenerateCasesGiveZerosNotNaN) {
  const Samples s = line(10, 1.0, 0.0, 1.0);
  // A zero amplitude makes the centre and width columns vanish: singular.
  EXPECT_EQ(gaussian_uncertainties(s.x, s.error, std::array{0.0, 0.0, 1.0}, 3.0),
            (std::array{0.0f, 0.0f, 0.0f}));
  // A perfect fit has no scatter to scale by.
  EXPECT_EQ(gaussian_uncertainties(s.x, s.error, std::array{1.0, 0.0, 1.0}, 0.0),
            (std::array{0.0f, 0.0f, 0.0f}));
  // Tiny weights push the determinant below the singularity cut.
  const std::vector<float> huge_errors(10, 1e12f);
  EXPECT_EQ(gaussian_uncertainties(s.x, huge_errors, std::array{1.0, 0.0, 1.0}, 3.0),
            (std::array{0.0f, 0.0f, 0.0f}));
}

struct Chi2Case {
  float chi2;
  std::size_t n;
  float expected;
};

class ReducedChi2 : public testing::TestWithParam<Chi2Case> {};

TEST_P(ReducedChi2, DividesByRemainingDegreesOfFreedom) {
  EXPECT_EQ(reduced_chi2(GetParam().chi2, GetParam().n), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, ReducedChi2,
                         testing::Values(Chi2Case{6.0f, 3, 6.0f}, Chi2Case{6.0f, 4, 6.0f},
                                         Chi2Case{6.0f, 5, 3.0f}, Chi2Case{1.0f, 13, 0.1f},
                                         Chi2Case{6.0f, 0, 6.0f}),
                         [](const auto& param_info) {
                           const auto& c = param_info.param;
                           return test_support::case_name(
                               param_info.index, test_support::label_of("chi2", c.chi2, "n", c.n));
                         });

}  // namespace
}  // namespace quillet
