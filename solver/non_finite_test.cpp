#include "solver/non_finite.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quillet::solver {
namespace {

// Every position of vectors of every length up to nine (the pairs and the
// odd last entry), for each kind of non-finite value, and the largest
// finite values, which must pass.
TEST(HasNonFinite, FindsEveryNonFiniteAtEveryPosition) {
  constexpr double kMax = std::numeric_limits<double>::max();
  for (std::size_t n = 0; n <= 9; ++n) {
    std::vector<double> values(n, 1.5);
    if (n > 0) values[0] = kMax;
    if (n > 1) values[n - 1] = -kMax;
    EXPECT_FALSE(has_non_finite(values)) << n;
    for (std::size_t at = 0; at < n; ++at) {
      for (const double bad :
           {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::quiet_NaN()}) {
        std::vector<double> with_bad = values;
        with_bad[at] = bad;
        EXPECT_TRUE(has_non_finite(with_bad)) << n << " values, " << bad << " at " << at;
      }
    }
  }
}

}  // namespace
}  // namespace quillet::solver
