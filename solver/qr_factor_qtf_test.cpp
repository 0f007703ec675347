// qr_factor_qtf does in one pass what the driver used to do in two,
// qr_factor then form_qtf, and must leave every output with the same bits.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "solver/qr_factor.hpp"

namespace quillet::solver {
namespace {

struct Outputs {
  std::vector<double> fjac, rdiag, acnorm, work, qtf;
  std::vector<std::size_t> ipvt;
};

Outputs two_passes(std::size_t m, std::size_t n, std::vector<double> fjac,
                   const std::vector<double>& f) {
  Outputs o{std::move(fjac),        std::vector<double>(n), std::vector<double>(n),
            std::vector<double>(m), std::vector<double>(n), std::vector<std::size_t>(n)};
  std::vector<double> refnorm(n);
  std::vector<ColumnSquares> squares(n);
  qr_factor(m, n, o.fjac, o.ipvt, o.rdiag, o.acnorm, refnorm, squares);
  form_qtf(m, n, o.fjac, o.rdiag, f, o.work, o.qtf);
  return o;
}

Outputs one_pass(std::size_t m, std::size_t n, std::vector<double> fjac,
                 const std::vector<double>& f) {
  Outputs o{std::move(fjac),        std::vector<double>(n), std::vector<double>(n),
            std::vector<double>(m), std::vector<double>(n), std::vector<std::size_t>(n)};
  std::vector<double> refnorm(n);
  std::vector<ColumnSquares> squares(n);
  qr_factor_qtf(m, n, o.fjac, o.ipvt, o.rdiag, o.acnorm, refnorm, squares, f, o.work, o.qtf);
  return o;
}

// A NaN's sign and payload are not kept: which operand's NaN an addition
// passes on is the compiler's choice of operand order (it differs between
// optimisation levels), and a NaN in a problem ends in the flagged row's own
// NaN whatever its bits were. Every other value keeps its exact bits.
std::vector<std::uint64_t> bits(const std::vector<double>& v) {
  std::vector<std::uint64_t> out;
  for (double x : v) {
    out.push_back(std::isnan(x) ? std::uint64_t{0x7ff8000000000000}
                                : std::bit_cast<std::uint64_t>(x));
  }
  return out;
}

// Random shapes up to more columns than side-by-side products take at once,
// with zero columns, repeated columns (tied pivots and downdates that lose
// every digit) and, now and then, a NaN.
TEST(QrFactorQtf, EqualsQrFactorThenFormQtfBitForBit) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> value(-2.0, 2.0);
  std::uniform_int_distribution<int> kind(0, 11);
  for (int trial = 0; trial < 3000; ++trial) {
    const std::size_t n = 1 + static_cast<std::size_t>(trial % 7);
    const std::size_t m = n + static_cast<std::size_t>(trial % 23);
    std::vector<double> j(m * n), f(m);
    for (double& v : j) v = value(rng);
    for (double& v : f) v = value(rng);
    for (std::size_t c = 0; c < n; ++c) {
      const int k = kind(rng);
      for (std::size_t i = 0; i < m; ++i) {
        if (k == 0) j[i + m * c] = 0.0;
        if (k == 1 && c > 0) j[i + m * c] = j[i + m * (c - 1)];
      }
      if (k == 2 && trial % 5 == 0) j[m * c] = std::numeric_limits<double>::quiet_NaN();
    }
    const Outputs want = two_passes(m, n, j, f);
    const Outputs got = one_pass(m, n, j, f);
    ASSERT_EQ(bits(got.fjac), bits(want.fjac)) << "trial " << trial;
    ASSERT_EQ(bits(got.rdiag), bits(want.rdiag)) << "trial " << trial;
    ASSERT_EQ(bits(got.acnorm), bits(want.acnorm)) << "trial " << trial;
    ASSERT_EQ(bits(got.work), bits(want.work)) << "trial " << trial;
    ASSERT_EQ(bits(got.qtf), bits(want.qtf)) << "trial " << trial;
    ASSERT_EQ(got.ipvt, want.ipvt) << "trial " << trial;
  }
}

}  // namespace
}  // namespace quillet::solver
