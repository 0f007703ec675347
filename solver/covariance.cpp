#include "solver/covariance.hpp"

#include <algorithm>
#include <cmath>

namespace quillet::solver {

void covariance(std::size_t n, std::span<double> fjac, std::size_t m,
                std::span<const std::size_t> ipvt, double covtol, std::span<double> scratch) {
  const auto r = [&](std::size_t i, std::size_t j) -> double& { return fjac[i + m * j]; };

  // Invert R in place, column by column, up to the first pivot that is
  // numerically zero relative to the first; `rank` columns are inverted.
  const double tolr = std::fabs(r(0, 0)) * covtol;
  std::size_t rank = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (std::fabs(r(k, k)) <= tolr) break;
    r(k, k) = 1.0 / r(k, k);
    for (std::size_t j = 0; j < k; ++j) {
      const double t = r(k, k) * r(j, k);
      r(j, k) = 0.0;
      for (std::size_t i = 0; i <= j; ++i) r(i, k) = r(i, k) - t * r(i, j);
    }
    rank = k + 1;
  }

  // Upper triangle of R^-1 R^-T = (R^T R)^-1 over the inverted columns.
  for (std::size_t k = 0; k < rank; ++k) {
    for (std::size_t j = 0; j < k; ++j) {
      const double t = r(j, k);
      for (std::size_t i = 0; i <= j; ++i) r(i, j) += t * r(i, k);
    }
    const double t = r(k, k);
    for (std::size_t i = 0; i <= k; ++i) r(i, k) = r(i, k) * t;
  }

  // Undo the pivoting: entry (i, j) in pivot order belongs at (ipvt[i],
  // ipvt[j]); off-diagonal entries go to the strict lower triangle, the
  // diagonal to `scratch`, so the upper triangle is read before it is
  // overwritten.
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t jj = ipvt[j];
    if (j >= rank) {
      for (std::size_t i = 0; i <= j; ++i) r(i, j) = 0.0;
    }
    for (std::size_t i = 0; i < j; ++i) {
      const std::size_t ii = ipvt[i];
      r(std::max(ii, jj), std::min(ii, jj)) = r(i, j);
    }
    scratch[jj] = r(j, j);
  }

  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = 0; i < j; ++i) r(i, j) = r(j, i);
    r(j, j) = scratch[j];
  }
}

}  // namespace quillet::solver
