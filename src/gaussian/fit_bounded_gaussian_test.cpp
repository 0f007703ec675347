// The fit core on problems with known answers, and the problems it refuses.
#include "gaussian/fit_bounded_gaussian.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quillet {
namespace {

struct Samples {
  std::vector<float> x, y, error;
};

Samples exact_line(double amplitude, double centre, double sigma) {
  Samples s;
  for (int i = 0; i < 41; ++i) {
    const double xi = -10.0 + 0.5 * i;
    const double d = (xi - centre) / sigma;
    s.x.push_back(static_cast<float>(xi));
    s.y.push_back(static_cast<float>(amplitude * std::exp(-0.5 * d * d)));
    s.error.push_back(0.1f);
  }
  return s;
}

BoundedGaussianProblem problem_for(const Samples& s) {
  return {.x = s.x,
          .y = s.y,
          .error = s.error,
          .initial = {1.0f, 0.5f, 2.0f},
          .bounds = {0.0f, 10.0f, -5.0f, 5.0f, 0.1f, 10.0f},
          .tolerances = {.xtol = 1e-6f, .ftol = 1e-6f, .gtol = 1e-6f, .max_iter = 2000}};
}

TEST(FitBoundedGaussian, RecoversANoiselessLine) {
  const Samples s = exact_line(3.0, 1.25, 1.5);
  const auto fit = fit_bounded_gaussian(problem_for(s));
  ASSERT_TRUE(fit.has_value());
  EXPECT_NEAR(fit->amplitude, 3.0f, 1e-4f);
  EXPECT_NEAR(fit->centre, 1.25f, 1e-4f);
  EXPECT_NEAR(fit->sigma, 1.5f, 1e-4f);
  EXPECT_LT(fit->chi2, 1e-6f);
}

TEST(FitBoundedGaussian, EndsOnABoundThatExcludesTheOptimum) {
  const Samples s = exact_line(3.0, 1.25, 1.5);
  BoundedGaussianProblem p = problem_for(s);
  p.bounds[1] = 2.0f;  // amplitude may not exceed 2
  const auto fit = fit_bounded_gaussian(p);
  ASSERT_TRUE(fit.has_value());
  EXPECT_EQ(fit->amplitude, 2.0f);
}

TEST(FitBoundedGaussian, IterationLimitIsNotConvergence) {
  const Samples s = exact_line(3.0, 1.25, 1.5);
  BoundedGaussianProblem p = problem_for(s);
  p.tolerances.max_iter = 1;
  EXPECT_FALSE(fit_bounded_gaussian(p).has_value());
}

// The core re-checks what its callers promise; a broken promise yields no fit.
TEST(FitBoundedGaussian, RefusesUnusableProblems) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Samples s = exact_line(3.0, 1.25, 1.5);
  std::vector<void (*)(BoundedGaussianProblem&)> breakers = {
      [](BoundedGaussianProblem& p) { p.y = p.y.first(10); },
      [](BoundedGaussianProblem& p) { p.tolerances.xtol = 0.0f; },
      [](BoundedGaussianProblem& p) { p.tolerances.gtol = std::numeric_limits<float>::infinity(); },
      [](BoundedGaussianProblem& p) { p.tolerances.max_iter = 0; },
      [](BoundedGaussianProblem& p) { p.bounds[2] = p.bounds[3]; },
      [](BoundedGaussianProblem& p) { p.bounds[4] = 0.0f; },
      [](BoundedGaussianProblem& p) {
        p.x = p.x.first(2), p.y = p.y.first(2), p.error = p.error.first(2);
      },
  };
  for (std::size_t k = 0; k < breakers.size(); ++k) {
    BoundedGaussianProblem p = problem_for(s);
    breakers[k](p);
    EXPECT_FALSE(fit_bounded_gaussian(p).has_value()) << "case " << k;
  }
  Samples bad = s;
  bad.error[7] = nan;
  EXPECT_FALSE(fit_bounded_gaussian(problem_for(bad)).has_value());
  bad = s;
  bad.y[3] = std::numeric_limits<float>::infinity();
  EXPECT_FALSE(fit_bounded_gaussian(problem_for(bad)).has_value());
  BoundedGaussianProblem p = problem_for(s);
  p.initial[0] = nan;
  EXPECT_FALSE(fit_bounded_gaussian(p).has_value());
}

}  // namespace
}  // namespace quillet
