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

}  // namespace
}  // namespace quillet::solver
