#include "solver/qr_factor.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "solver/euclid_norm.hpp"
#include "solver/nan_minmax.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/square_sum.hpp"
#include "solver/step_constants.hpp"

namespace quillet::solver {
#include "solver/norm_rules.hpp"
#include "solver/step_rules.hpp"
// Included after the rules it is written in.
#include "solver/qr_rules.hpp"

namespace {

// Vectors a pass over the rows takes side by side at most (three columns and
// the work vector): independent sums overlap instead of waiting on one
// another, and more would only spill.
constexpr std::size_t kTargets = 4;

// Column k of the column-major m x n Jacobian.
struct FjacColumns {
  double* base;
  std::size_t m;
  double* operator[](std::size_t k) const { return base + m * k; }
};

template <bool kQtf>
void factor(std::size_t m, std::size_t nfree, std::span<double> fjac, std::span<std::size_t> ipvt,
            std::span<double> rdiag, std::span<double> acnorm, std::span<double> refnorm,
            std::span<ColumnSquares> squares, const double* fvec, double* work, double* qtf) {
  const FjacColumns columns{fjac.data(), m};
  const PivotOrder pivots{ipvt.data(), nfree};
  const Factoring<double, bool, std::size_t, OwnRows, FjacColumns, PivotOrder, ColumnSquares> f{
      .col = columns,
      .pivots = pivots,
      .n = nfree,
      .rows = m,
      .count = m,
      .lanes = true,
      .fvec = fvec,
      .work = work,
      .qtf = qtf,
      .acnorm = acnorm.data(),
      .rdiag = rdiag.data(),
      .refnorm = refnorm.data(),
      .ipvt = ipvt.data(),
      .below = squares.data()};
  factor_pivoted<0, kTargets, kQtf>(f);
}

}  // namespace

void qr_factor(std::size_t m, std::size_t nfree, std::span<double> fjac,
               std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
               std::span<double> refnorm, std::span<ColumnSquares> squares) {
  factor<false>(m, nfree, fjac, ipvt, rdiag, acnorm, refnorm, squares, nullptr, nullptr, nullptr);
}

void qr_factor_qtf(std::size_t m, std::size_t nfree, std::span<double> fjac,
                   std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
                   std::span<double> refnorm, std::span<ColumnSquares> squares,
                   std::span<const double> fvec, std::span<double> work, std::span<double> qtf) {
  factor<true>(m, nfree, fjac, ipvt, rdiag, acnorm, refnorm, squares, fvec.data(), work.data(),
               qtf.data());
}

void form_qtf(std::size_t m, std::size_t nfree, std::span<double> fjac,
              std::span<const double> rdiag, std::span<const double> fvec, std::span<double> work,
              std::span<double> qtf) {
  std::copy_n(fvec.begin(), m, work.begin());
  for (std::size_t j = 0; j < nfree; ++j) {
    double* const cj = fjac.data() + m * j;
    // d = 0 only for a column that was never transformed; skip its reflection.
    const double d = cj[j];
    if (d != 0.0) {
      double s = 0.0;
      for (std::size_t i = j; i < m; ++i) s += cj[i] * work[i];
      const double t = -s / d;
      for (std::size_t i = j; i < m; ++i) work[i] += cj[i] * t;
    }
    cj[j] = rdiag[j];
    qtf[j] = work[j];
  }
}

}  // namespace quillet::solver
