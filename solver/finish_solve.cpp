#include "solver/finish_solve.hpp"

#include <cmath>
#include <utility>

#include "solver/covariance.hpp"
#include "solver/nan_minmax.hpp"

namespace quillet::solver {

SolverResult finish_solve(RunState&& state, const SolverConfig& config,
                          std::span<const ParamConstraint> constraints, std::span<double> xall) {
  RunState s = std::move(state);
  const std::size_t m = s.m;
  const std::size_t npar = s.npar;
  const std::size_t nfree = s.nfree;

  for (std::size_t j = 0; j < nfree; ++j) xall[s.ifree[j]] = s.x[j];

  std::uint64_t npegged = 0;
  for (std::size_t p = 0; p < npar; ++p) {
    const ParamConstraint& c = constraints[p];
    if ((c.has_lower && c.lower == xall[p]) || (c.has_upper && c.upper == xall[p])) ++npegged;
  }

  // The covariance is the only O(nfree^3) work of the ending; a caller that
  // reads neither it nor the errors gets both zero.
  const std::size_t covariant = config.no_covariance ? 0 : nfree;
  if (covariant > 0) covariance(nfree, s.fjac, m, s.ipvt, config.covtol, s.covariance_work);
  for (std::size_t j = 0; j < covariant; ++j) {
    for (std::size_t k = 0; k < nfree; ++k) {
      s.covar[s.ifree[j] * npar + s.ifree[k]] = s.fjac[k + m * j];
    }
    const double variance = s.fjac[j + m * j];
    // Rounding can leave a variance at zero or below; its error is then 0,
    // never a NaN.
    if (variance > 0) s.xerror[s.ifree[j]] = std::sqrt(variance);
  }

  const double largest_norm = nan_max(s.fnorm, s.fnorm1);

  SolverResult result;
  result.resid = s.fvec;
  result.xerror = s.xerror;
  result.covar = s.covar;
  result.bestnorm = largest_norm * largest_norm;
  result.orignorm = s.orignorm;
  result.niter = s.iter;
  result.nfev = s.nfev;
  result.npar = npar;
  result.nfree = nfree;
  result.npegged = npegged;
  result.nfunc = m;
  result.status = *s.status;
  result.storage = std::move(s.storage);
  return result;
}

}  // namespace quillet::solver
