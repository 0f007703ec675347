#include "solver/qr_factor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "solver/euclid_norm.hpp"
#include "solver/nan_minmax.hpp"

namespace quillet::solver {

namespace {

// A downdated column norm is trusted only while it keeps a fair share of its
// reference value; below this the cancellation in sqrt(1 - t^2) has eaten
// most of its digits and the norm is recomputed from the column.
constexpr double kDowndateFloor = std::numeric_limits<double>::epsilon();

}  // namespace

void qr_factor(std::size_t m, std::size_t nfree, std::span<double> fjac,
               std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
               std::span<double> refnorm) {
  euclid_norm_columns(fjac.first(m * nfree), m, acnorm.first(nfree));
  for (std::size_t j = 0; j < nfree; ++j) {
    rdiag[j] = acnorm[j];
    refnorm[j] = acnorm[j];
    ipvt[j] = j;
  }

  const std::size_t steps = std::min(m, nfree);
  for (std::size_t j = 0; j < steps; ++j) {
    double* const cj = fjac.data() + m * j;

    // Strictly greater: ties keep the lower index, and a NaN norm neither
    // wins nor is displaced.
    std::size_t kmax = j;
    for (std::size_t k = j + 1; k < nfree; ++k) {
      if (rdiag[k] > rdiag[kmax]) kmax = k;
    }
    if (kmax != j) {
      double* const ck = fjac.data() + m * kmax;
      std::swap_ranges(cj, cj + m, ck);
      rdiag[kmax] = rdiag[j];
      refnorm[kmax] = refnorm[j];
      std::swap(ipvt[j], ipvt[kmax]);
    }

    // The first step's column is whole (rows 0 to m - 1) and unchanged, so
    // its norm is the one step 1 took of it: reused, not recomputed.
    double cnorm = j == 0 ? acnorm[ipvt[0]] : euclid_norm(fjac.subspan(j + m * j, m - j));
    if (cnorm != 0.0) {
      // Give the divisor the diagonal's sign, so that the 1 added to the
      // scaled diagonal never cancels against it.
      if (cj[j] < 0.0) cnorm = -cnorm;
      for (std::size_t i = j; i < m; ++i) cj[i] /= cnorm;
      cj[j] += 1.0;

      for (std::size_t k = j + 1; k < nfree; ++k) {
        double* const ck = fjac.data() + m * k;
        double s = 0.0;
        for (std::size_t i = j; i < m; ++i) s += cj[i] * ck[i];
        double t = s / cj[j];
        for (std::size_t i = j; i < m; ++i) ck[i] -= t * cj[i];

        if (rdiag[k] != 0.0) {
          t = ck[j] / rdiag[k];
          rdiag[k] = rdiag[k] * std::sqrt(nan_max(0.0, 1.0 - t * t));
          t = rdiag[k] / refnorm[k];
          if (0.05 * t * t < kDowndateFloor) {
            rdiag[k] = euclid_norm(fjac.subspan(j + 1 + m * k, m - j - 1));
            refnorm[k] = rdiag[k];
          }
        }
      }
    }
    // For a zero column this is -0.0: the column is left as it was.
    rdiag[j] = -cnorm;
  }
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
