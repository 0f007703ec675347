// A run allocates its one block before the first evaluation (none when the
// caller lends a large enough buffer) and nothing while it iterates. Allocations
// are counted by the replaced global operator new.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "solver/solver.hpp"
#include "solver/testing/allocation_counter.hpp"
#include "solver/testing/curve_model.hpp"

namespace quillet::solver {
namespace {

// Notes the allocation count at the first and the last model call.
struct WatchedModel {
  testing::CurveModel inner;
  std::size_t at_first = 0, at_last = 0;
  bool called = false;

  void note() {
    if (!called) at_first = test_support::allocations(), called = true;
    at_last = test_support::allocations();
  }
  std::size_t residual_count() const { return inner.residual_count(); }
  void evaluate(std::span<const double> b, std::span<double> out) {
    note();
    inner.evaluate(b, out);
  }
  void evaluate_with_derivs(std::span<const double> b, std::span<double> out,
                            std::span<const std::span<double>> d) {
    note();
    inner.evaluate_with_derivs(b, out, d);
  }
};

struct RunCounts {
  std::vector<double> x, covar;
  std::size_t before_first, while_iterating, after_last;
  bool in_lent;
};

// Every derivative side and an active limit, so that all paths are taken.
RunCounts run_gaussian(std::span<std::byte> lent) {
  WatchedModel model{testing::exact_curve(testing::gaussian, testing::gaussian_grad,
                                          testing::grid(-3, 0.25, 25), {2, 0.3, 0.8})};
  // The fourth parameter, which the curve ignores, is fixed: its row and
  // column of the covariance are never written, only zero-filled.
  std::vector<ParamConstraint> c{{.side = DerivSide::Analytic},
                                 {.side = DerivSide::Both},
                                 {.has_upper = true, .upper = 0.7, .side = DerivSide::Auto},
                                 {.fixed = true}};
  RunCounts run{{1, 0, 0.5, 0}, {}, 0, 0, 0, false};
  const std::size_t start = test_support::allocations();
  const auto r = solve(model, SolverConfig{}, c, std::span<double>(run.x), {}, lent);
  run.after_last = test_support::allocations() - model.at_last;
  EXPECT_TRUE(r.has_value());
  run.covar.assign(r->covar.begin(), r->covar.end());
  run.before_first = model.at_first - start;
  run.while_iterating = model.at_last - model.at_first;
  run.in_lent = !lent.empty() && r->resid.data() >= static_cast<void*>(lent.data()) &&
                r->resid.data() < static_cast<void*>(lent.data() + lent.size());
  return run;
}

TEST(SolveAllocationTest, OneBlockBeforeIteratingNoneWhenLent) {
  const RunCounts owned = run_gaussian({});
  EXPECT_EQ(owned.before_first, 1u);
  EXPECT_EQ(owned.while_iterating, 0u);

  const std::size_t bytes = workspace_bytes(25, 4);
  // The lent buffer starts dirty: the run must zero what it uses.
  std::vector<std::byte> buffer(bytes + 8, std::byte{0xAB});
  struct Lent {
    std::span<std::byte> lent;
    std::size_t allocations;
  };
  for (const Lent l : {Lent{{buffer.data(), bytes}, 0}, Lent{{buffer.data(), bytes / 2}, 1},
                       Lent{{buffer.data() + 1, bytes}, 1}}) {
    const RunCounts run = run_gaussian(l.lent);
    EXPECT_EQ(run.before_first, l.allocations);
    EXPECT_EQ(run.while_iterating, 0u);
    EXPECT_EQ(run.after_last, 0u);
    EXPECT_EQ(run.in_lent, l.allocations == 0);
    EXPECT_EQ(run.x, owned.x);
    EXPECT_EQ(run.covar, owned.covar);
  }
}

}  // namespace
}  // namespace quillet::solver
