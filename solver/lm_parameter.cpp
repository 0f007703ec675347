#include "solver/lm_parameter.hpp"

#include <cmath>

#include "solver/euclid_norm.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/step_constants.hpp"

namespace quillet::solver {
#include "solver/step_rules.hpp"

void newton_scaled_step(std::size_t n, std::span<const std::size_t> ipvt,
                        std::span<const std::size_t> ifree, std::span<const double> diag,
                        std::span<const double> v, double vnorm, std::span<double> out) {
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t l = ipvt[j];
    out[j] = (v[l] / vnorm) * diag[ifree[l]];
  }
}

void qr_solve(std::size_t n, std::span<double> fjac, std::size_t m,
              std::span<const std::size_t> ipvt, std::span<const double> damp,
              std::span<const double> qtb, std::span<double> u, std::span<double> sdiag,
              std::span<double> w) {
  // Lower[i,j] (i > j) and the working diagonal start as R transposed; R's
  // own diagonal is kept in u until the end of each column.
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t i = j; i < n; ++i) fjac[i + m * j] = fjac[j + m * i];
    u[j] = fjac[j + m * j];
    w[j] = qtb[j];
  }

  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t l = ipvt[j];
    if (damp[l] != 0.0) {
      for (std::size_t k = j + 1; k < n; ++k) sdiag[k] = 0.0;
      sdiag[j] = damp[l];
      double qtbpj = 0.0;
      for (std::size_t k = j; k < n; ++k) {
        if (sdiag[k] == 0.0) continue;
        const double rkk = fjac[k + m * k];
        const auto [cos, sin] = givens(rkk, sdiag[k]);

        fjac[k + m * k] = cos * rkk + sin * sdiag[k];
        const double wk = cos * w[k] + sin * qtbpj;
        qtbpj = cos * qtbpj - sin * w[k];
        w[k] = wk;
        for (std::size_t i = k + 1; i < n; ++i) {
          const double lower = cos * fjac[i + m * k] + sin * sdiag[i];
          sdiag[i] = cos * sdiag[i] - sin * fjac[i + m * k];
          fjac[i + m * k] = lower;
        }
      }
    }
    sdiag[j] = fjac[j + m * j];
    fjac[j + m * j] = u[j];
  }

  // A zero on S's diagonal makes the system singular: solve the leading
  // nonsingular block and give the rest zero.
  solve_nonsingular<std::int64_t>([&](std::size_t i, std::size_t k) { return fjac[i + m * k]; },
                                  [&](std::size_t k) { return sdiag[k]; }, w.data(), n, false);
  for (std::size_t j = 0; j < n; ++j) u[ipvt[j]] = w[j];
}

void lm_parameter(std::size_t n, std::span<double> fjac, std::size_t m,
                  std::span<const std::size_t> ipvt, std::span<const std::size_t> ifree,
                  std::span<const double> diag, std::span<const double> qtf, double delta,
                  double& par, std::span<double> u, std::span<double> sdiag, std::span<double> w1,
                  std::span<double> w2) {
  const auto r = [&](std::size_t i, std::size_t j) { return fjac[i + m * j]; };
  const auto d = [&](std::size_t j) { return diag[ifree[j]]; };

  // Gauss–Newton direction, with the components from the first zero on R's
  // diagonal on set to zero.
  for (std::size_t j = 0; j < n; ++j) w1[j] = qtf[j];
  const std::int64_t nsing = solve_nonsingular<std::int64_t>(
      r, [&](std::size_t j) { return r(j, j); }, w1.data(), n, true);
  for (std::size_t j = 0; j < n; ++j) u[ipvt[j]] = w1[j];

  for (std::size_t j = 0; j < n; ++j) w2[j] = d(j) * u[j];
  double dxnorm = euclid_norm(w2.first(n));
  double fp = dxnorm - delta;
  if (newton_step_fits(fp, delta)) {
    par = 0.0;
    return;
  }

  // Lower bound: one Newton step for phi(par) = |D u| - delta from par = 0,
  // available only when R is nonsingular.
  double parl = 0.0;
  if (nsing == count_of<std::int64_t>(n)) {
    newton_scaled_step(n, ipvt, ifree, diag, w2, dxnorm, w1);
    solve_r_transposed(r, w1.data(), n);
    const double tn = euclid_norm(w1.first(n));
    parl = newton_correction(fp, delta, tn);
  }

  // Upper bound: |(J D^-1)^T f| / delta.
  scaled_gradient(
      r, qtf.data(), [&](std::size_t j) { return diag[ifree[ipvt[j]]]; }, w1.data(), n);
  const double qnorm = euclid_norm(w1.first(n));
  double paru = initial_par_upper(qnorm, delta);
  par = initial_par(par, parl, paru, qnorm, dxnorm);

  for (int solves = 1;; ++solves) {
    par = positive_par(par, paru);
    const double t = std::sqrt(par);
    for (std::size_t j = 0; j < n; ++j) w1[j] = t * d(j);
    // w2 is free until D u is formed again, so it serves as qr_solve's scratch.
    qr_solve(n, fjac, m, ipvt, w1, qtf, u, sdiag, w2);

    for (std::size_t j = 0; j < n; ++j) w2[j] = d(j) * u[j];
    dxnorm = euclid_norm(w2.first(n));
    const double fp_prev = fp;
    fp = dxnorm - delta;

    if (par_search_done(fp, fp_prev, parl, delta) || solves == kMaxSolves) return;

    // Newton correction from S^T S = P^T (J^T J + par D^2) P.
    newton_scaled_step(n, ipvt, ifree, diag, w2, dxnorm, w1);
    solve_lower(
        r, [&](std::size_t j) { return sdiag[j]; }, w1.data(), n);
    const double tn = euclid_norm(w1.first(n));
    next_par(fp, newton_correction(fp, delta, tn), par, parl, paru);
  }
}

}  // namespace quillet::solver
