// Support for the tests of the solver kernels: a Jacobian factored the way the
// driver factors it, and the one product, A^T B, by which the tests check the
// factors against the unfactored matrix. Test-only.
#ifndef QUILLET_TESTING
#error "test support: only test targets, which link quillet_testing, include this header"
#endif
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "solver/qr_factor.hpp"

namespace quillet::solver::testing {

// A^T B for column-major A and B of `rows` rows each; a vector is one column.
inline std::vector<double> transpose_times(std::span<const double> a, std::span<const double> b,
                                           std::size_t rows) {
  const std::size_t ac = a.size() / rows;
  const std::size_t bc = b.size() / rows;
  std::vector<double> out(ac * bc, 0.0);
  for (std::size_t j = 0; j < bc; ++j) {
    for (std::size_t i = 0; i < ac; ++i) {
      for (std::size_t k = 0; k < rows; ++k) out[i + ac * j] += a[k + rows * i] * b[k + rows * j];
    }
  }
  return out;
}

inline void expect_all_near(std::span<const double> got, std::span<const double> want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], want[k], tol) << "at " << k;
}

// An m x n Jacobian (column-major) after qr_factor and form_qtf of f.
struct FactoredJacobian {
  std::size_t m, n;
  std::vector<double> jacobian, f, fjac, rdiag, acnorm, work, qtf;
  std::vector<std::size_t> ipvt;

  FactoredJacobian(std::size_t rows, std::vector<double> j, std::vector<double> residuals)
      : m(rows),
        n(j.size() / rows),
        jacobian(j),
        f(std::move(residuals)),
        fjac(std::move(j)),
        rdiag(n),
        acnorm(n),
        work(m),
        qtf(n),
        ipvt(n) {
    std::vector<double> refnorm(n);
    std::vector<ColumnSquares> squares(n);
    qr_factor(m, n, fjac, ipvt, rdiag, acnorm, refnorm, squares);
    form_qtf(m, n, fjac, rdiag, f, work, qtf);
  }

  // R as an n x n column-major matrix.
  std::vector<double> r() const {
    std::vector<double> out(n * n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t i = 0; i <= j; ++i) out[i + n * j] = fjac[i + m * j];
    }
    return out;
  }

  // J P: column j is column ipvt[j] of the Jacobian.
  std::vector<double> permuted_jacobian() const {
    std::vector<double> out(m * n);
    for (std::size_t j = 0; j < n; ++j) {
      for (std::size_t i = 0; i < m; ++i) out[i + m * j] = jacobian[i + m * ipvt[j]];
    }
    return out;
  }
};

}  // namespace quillet::solver::testing
