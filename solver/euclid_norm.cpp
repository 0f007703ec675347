#include "solver/euclid_norm.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "solver/scalar_or_lanes.hpp"
#include "solver/square_sum.hpp"

namespace quillet::solver {
#include "solver/norm_rules.hpp"

namespace {

// Components strictly between these bounds are intermediate. For a vector
// of intermediate components and zeros the three-range result is exactly
// sqrt of the plain sum of squares in index order (see euclid_norm): a zero
// touches none of the three sums.
bool is_intermediate_or_zero(double a, double agiant) {
  return ((a > kRdwarf) & (a < agiant)) | (a == 0.0);
}

// rgiant / n for the short vectors the solver norms most, divided once at
// compile time (the compiler rounds constant quotients as the processor does).
constexpr std::size_t kTabulatedLengths = 64;
constexpr std::array<double, kTabulatedLengths> kAgiantOfLength = [] {
  std::array<double, kTabulatedLengths> table{};
  for (std::size_t k = 1; k < kTabulatedLengths; ++k) table[k] = kRgiant / static_cast<double>(k);
  return table;
}();

double agiant_of(std::size_t n) {
  return n < kTabulatedLengths ? kAgiantOfLength[n] : kRgiant / static_cast<double>(n);
}

}  // namespace

double euclid_norm(std::span<const double> x) {
  const std::size_t n = x.size();
  if (n == 0) return 0.0;

  const double agiant = agiant_of(n);

  // The common case, every component intermediate or zero, in one pass.
  // The three sums below then leave s1 = s3 = 0 and x1max = x3max = 0
  // (a zero fails `a > x3max` and is skipped), and their result
  // sqrt(s2 * (1 + (0 / s2) * (0 * 0))) is exactly sqrt(s2): s2 is a sum of
  // squares above rdwarf^2, positive and finite; with every component zero
  // both give +0. (A zero adds +0 to s2 here, which leaves it as it was.)
  // Any other vector starts over on the general path.
  double s2 = 0.0;
  bool all_intermediate = true;
  for (const double xi : x) {
    const double a = std::fabs(xi);
    all_intermediate &= is_intermediate_or_zero(a, agiant);  // no branch per component
    s2 += xi * xi;
  }
  if (all_intermediate) return std::sqrt(s2);

  ThreeRanges<double> t{};
  for (const double xi : x) add_to_ranges(t, xi, agiant, true);
  return three_range_norm(t, true);
}

namespace {

// Norms of `Count` adjacent columns starting at column `first`, their sums of
// squares run side by side.
template <std::size_t Count>
void norm_columns(std::span<const double> block, std::size_t rows, std::size_t first,
                  std::span<double> norms) {
  const double agiant = agiant_of(rows);
  const double* const base = block.data() + rows * first;
  std::array<double, Count> s2{};
  std::array<bool, Count> all_intermediate;
  all_intermediate.fill(true);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t c = 0; c < Count; ++c) {
      const double xi = base[i + rows * c];
      all_intermediate[c] &= is_intermediate_or_zero(std::fabs(xi), agiant);
      s2[c] += xi * xi;
    }
  }
  for (std::size_t c = 0; c < Count; ++c) {
    norms[first + c] = all_intermediate[c] ? std::sqrt(s2[c])
                                           : euclid_norm(block.subspan(rows * (first + c), rows));
  }
}

}  // namespace

void euclid_norm_columns(std::span<const double> block, std::size_t rows, std::span<double> norms) {
  if (rows == 0) {
    std::ranges::fill(norms, 0.0);
    return;
  }
  std::size_t first = 0;
  for (; first + 4 <= norms.size(); first += 4) norm_columns<4>(block, rows, first, norms);
  switch (norms.size() - first) {
    case 3:
      norm_columns<3>(block, rows, first, norms);
      break;
    case 2:
      norm_columns<2>(block, rows, first, norms);
      break;
    case 1:
      norm_columns<1>(block, rows, first, norms);
      break;
    default:
      break;
  }
}

}  // namespace quillet::solver
