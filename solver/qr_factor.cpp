#include "solver/qr_factor.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "solver/euclid_norm.hpp"
#include "solver/nan_minmax.hpp"
#include "solver/step_constants.hpp"

namespace quillet::solver {

namespace {

// Dot products taken side by side at most; more columns go in turns.
constexpr std::size_t kMaxDotTargets = 4;

// Applies the reflection of column j (v = cj) to the work vector, given
// s = v . work over rows j..m-1, as form_qtf does. d = v[j] is 0 only for a
// column that was never transformed, whose reflection is skipped.
void reflect_work(const double* cj, std::size_t j, std::size_t m, double s, double* work) {
  const double d = cj[j];
  if (d == 0.0) return;
  const double t = -s / d;
  for (std::size_t i = j; i < m; ++i) work[i] += cj[i] * t;
}

}  // namespace

namespace {

// Where Q^T fvec is formed when the factorisation forms it too: the work
// vector (m values, starting as fvec) and qtf. Null pointers when it does not.
struct AlongsideQtf {
  double* work = nullptr;
  double* qtf = nullptr;
};

// s[c] = sum over rows i = first..m-1 of v[i] * target[c][i], each sum in
// increasing i as the reflection needs it, for `Count` targets side by side:
// independent sums overlap instead of waiting on one another.
template <std::size_t Count>
void dot_products(const double* v, std::size_t first, std::size_t m,
                  const std::array<double*, kMaxDotTargets>& target, std::size_t offset,
                  std::array<double, kMaxDotTargets>& s) {
  std::array<double, Count> sum{};
  for (std::size_t i = first; i < m; ++i) {
    for (std::size_t c = 0; c < Count; ++c) sum[c] += v[i] * target[offset + c][i];
  }
  for (std::size_t c = 0; c < Count; ++c) s[offset + c] = sum[c];
}

void all_dot_products(const double* v, std::size_t first, std::size_t m, std::size_t count,
                      const std::array<double*, kMaxDotTargets>& target,
                      std::array<double, kMaxDotTargets>& s) {
  std::size_t offset = 0;
  for (; offset + 4 <= count; offset += 4) dot_products<4>(v, first, m, target, offset, s);
  switch (count - offset) {
    case 3:
      dot_products<3>(v, first, m, target, offset, s);
      break;
    case 2:
      dot_products<2>(v, first, m, target, offset, s);
      break;
    case 1:
      dot_products<1>(v, first, m, target, offset, s);
      break;
    default:
      break;
  }
}

void factor(std::size_t m, std::size_t nfree, std::span<double> fjac, std::span<std::size_t> ipvt,
            std::span<double> rdiag, std::span<double> acnorm, std::span<double> refnorm,
            AlongsideQtf qtf) {
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

      // The reflection's products with the later columns (and with the
      // work vector) read columns that no other update touches, so all are
      // taken first, side by side; each is then applied in column order.
      std::array<double*, kMaxDotTargets> target{};
      std::array<double, kMaxDotTargets> s{};
      for (std::size_t k = j + 1; k < nfree; k += kMaxDotTargets - 1) {
        const std::size_t last = std::min(nfree, k + kMaxDotTargets - 1);
        std::size_t count = 0;
        for (std::size_t c = k; c < last; ++c) target[count++] = fjac.data() + m * c;
        // The work vector rides along with the last group.
        const bool with_work = qtf.work != nullptr && last == nfree;
        if (with_work) target[count++] = qtf.work;
        all_dot_products(cj, j, m, count, target, s);

        for (std::size_t c = k; c < last; ++c) {
          double* const ck = fjac.data() + m * c;
          double t = s[c - k] / cj[j];
          for (std::size_t i = j; i < m; ++i) ck[i] -= t * cj[i];

          if (rdiag[c] != 0.0) {
            t = ck[j] / rdiag[c];
            rdiag[c] = rdiag[c] * std::sqrt(nan_max(0.0, 1.0 - t * t));
            t = rdiag[c] / refnorm[c];
            if (kDowndateWeight * t * t < kDowndateFloor) {
              rdiag[c] = euclid_norm(fjac.subspan(j + 1 + m * c, m - j - 1));
              refnorm[c] = rdiag[c];
            }
          }
        }
        if (with_work) reflect_work(cj, j, m, s[last - k], qtf.work);
      }
      // The last column has no later columns; the work vector goes alone.
      if (qtf.work != nullptr && j + 1 == nfree) {
        std::array<double, kMaxDotTargets> alone{};
        all_dot_products(cj, j, m, 1, {qtf.work}, alone);
        reflect_work(cj, j, m, alone[0], qtf.work);
      }
    }
    // For a zero column this is -0.0: the column is left as it was.
    rdiag[j] = -cnorm;
    if (qtf.work != nullptr) {
      cj[j] = rdiag[j];
      qtf.qtf[j] = qtf.work[j];
    }
  }
}

}  // namespace

void qr_factor(std::size_t m, std::size_t nfree, std::span<double> fjac,
               std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
               std::span<double> refnorm) {
  factor(m, nfree, fjac, ipvt, rdiag, acnorm, refnorm, {});
}

void qr_factor_qtf(std::size_t m, std::size_t nfree, std::span<double> fjac,
                   std::span<std::size_t> ipvt, std::span<double> rdiag, std::span<double> acnorm,
                   std::span<double> refnorm, std::span<const double> fvec, std::span<double> work,
                   std::span<double> qtf) {
  std::copy_n(fvec.begin(), m, work.begin());
  factor(m, nfree, fjac, ipvt, rdiag, acnorm, refnorm, {work.data(), qtf.data()});
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
