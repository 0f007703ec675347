#pragma once

#include <cstddef>
#include <span>

namespace quillet::solver {

// Euclidean norm of `x`, safe from overflow and underflow: components are
// summed in three ranges (small, intermediate, large), each scaled so that no
// square leaves the range of double. Every vector norm of the solver goes
// through it. A NaN component makes the result NaN unless a component of the
// same vector is large (>= rgiant / n), in which case the small sum is unused.
double euclid_norm(std::span<const double> x);

// norms[c] = euclid_norm of column c of the column-major `rows` x
// norms.size() block, bit for bit. Up to four columns are summed side by
// side, which overlaps their otherwise sequential sums.
void euclid_norm_columns(std::span<const double> block, std::size_t rows, std::span<double> norms);

}  // namespace quillet::solver
