#include "solver/finish_solve.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace quillet::solver {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FinishSolveTest, ResultFromTheLastFactor) {
  struct Norms {
    double fnorm, fnorm1, bestnorm;
  };
  // bestnorm squares the larger norm, a NaN operand ignored; -1 means no trial.
  for (const Norms n : {Norms{3, -1, 9}, Norms{3, kNaN, 9}, Norms{3, 4, 16}, Norms{kNaN, 2, 4}}) {
    // Parameter 0 fixed with both limits equal to its value: pegged once.
    // Parameter 1 free, resting on its active upper limit; R = [2], so V = 1/4.
    const std::vector<ParamConstraint> c{
        {.fixed = true, .has_lower = true, .has_upper = true, .lower = 7, .upper = 7},
        {.has_upper = true, .upper = 1.5}};
    RunState s = make_run_state(2, c, {});
    s.x[0] = 1.5;
    s.fjac[0] = 2;
    s.fvec[1] = 0.25;
    s.fnorm = n.fnorm;
    s.fnorm1 = n.fnorm1;
    s.status = SolverStatus::XtolReached;
    std::vector<double> xall{7, 0};
    const SolverResult r = finish_solve(std::move(s), SolverConfig{}, c, xall);
    EXPECT_EQ(r.bestnorm, n.bestnorm);
    EXPECT_EQ(xall, (std::vector<double>{7, 1.5}));
    EXPECT_EQ(r.npegged, 2u);
    EXPECT_EQ(std::vector<double>(r.covar.begin(), r.covar.end()),
              (std::vector<double>{0, 0, 0, 0.25}));
    EXPECT_EQ(std::vector<double>(r.xerror.begin(), r.xerror.end()), (std::vector<double>{0, 0.5}));
    EXPECT_EQ(r.resid[1], 0.25);
    EXPECT_EQ(r.status, SolverStatus::XtolReached);
  }
}

// A caller that reads no covariance gets zeros in covar and xerror, and the
// very same parameters, norms and counts.
TEST(FinishSolveTest, NoCovarianceLeavesOnlyCovarAndErrorsZero) {
  const std::vector<ParamConstraint> c{{.has_upper = true, .upper = 1.5}, {}};
  auto finish = [&](bool no_covariance) {
    RunState s = make_run_state(3, c, {});
    s.x[0] = 1.5;
    s.x[1] = -2;
    s.fjac[0] = 2;
    s.fjac[3] = 1;
    s.fjac[4] = 4;
    s.ipvt[0] = 0;
    s.ipvt[1] = 1;
    s.fnorm = 3;
    s.status = SolverStatus::FtolReached;
    std::vector<double> xall{0, 0};
    SolverResult r = finish_solve(std::move(s), {.no_covariance = no_covariance}, c, xall);
    return std::pair{std::move(r), xall};
  };
  const auto [full, full_x] = finish(false);
  const auto [bare, bare_x] = finish(true);
  EXPECT_NE(std::vector<double>(full.covar.begin(), full.covar.end()), std::vector<double>(4, 0.0));
  EXPECT_EQ(std::vector<double>(bare.covar.begin(), bare.covar.end()), std::vector<double>(4, 0.0));
  EXPECT_EQ(std::vector<double>(bare.xerror.begin(), bare.xerror.end()),
            std::vector<double>(2, 0.0));
  EXPECT_EQ(bare_x, full_x);
  EXPECT_EQ(bare.bestnorm, full.bestnorm);
  EXPECT_EQ(bare.npegged, full.npegged);
  EXPECT_EQ(bare.status, full.status);
}

}  // namespace
}  // namespace quillet::solver
