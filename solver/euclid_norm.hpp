#pragma once

#include <span>

namespace quillet::solver {

// Euclidean norm of `x`, safe from overflow and underflow: components are
// summed in three ranges (small, intermediate, large), each scaled so that no
// square leaves the range of double. Every vector norm of the solver goes
// through it. A NaN component makes the result NaN unless a component of the
// same vector is large (>= rgiant / n), in which case the small sum is unused.
double euclid_norm(std::span<const double> x);

}  // namespace quillet::solver
