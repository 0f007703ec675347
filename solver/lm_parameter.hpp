#pragma once

#include <cstddef>
#include <span>

namespace quillet::solver {

// The Levenberg–Marquardt parameter for the step bound `delta`: finds
// par >= 0 and the least-squares solution u of J u ~ f, sqrt(par) D u ~ 0
// such that par = 0 and |D u| <= 1.1 delta, or | |D u| - delta | <= 0.1 delta,
// or the rank-deficiency rule holds, or ten damped solves are spent.
//
// Works from the factorisation left by qr_factor/form_qtf: R and `ipvt` in
// `fjac` (leading dimension m), `qtf`. D is diag[ifree[j]] for free position
// j. `par` comes in as the previous call's value and goes out as the value
// belonging to `u`. Writes u (n values, free order), `sdiag` and the strict
// lower triangle of `fjac`; R itself is unchanged. w1 and w2 are scratch of
// n values (w2 ends as D u). Never allocates.
void lm_parameter(std::size_t n, std::span<double> fjac, std::size_t m,
                  std::span<const std::size_t> ipvt, std::span<const std::size_t> ifree,
                  std::span<const double> diag, std::span<const double> qtf, double delta,
                  double& par, std::span<double> u, std::span<double> sdiag, std::span<double> w1,
                  std::span<double> w2);

// Solves the damped system R u ~ qtb, diag(damp) P^T u ~ 0 by Givens
// rotations on a copy of R kept in the strict lower triangle of `fjac`.
// Writes u and `sdiag` (the diagonal of the rotated factor S); restores R's
// diagonal before returning. `w` is scratch of n values.
void qr_solve(std::size_t n, std::span<double> fjac, std::size_t m,
              std::span<const std::size_t> ipvt, std::span<const double> damp,
              std::span<const double> qtb, std::span<double> u, std::span<double> sdiag,
              std::span<double> w);

// out[j] = (v[ipvt[j]] / vnorm) * diag[ifree[ipvt[j]]]: D (D u) / |D u|
// permuted into the column order of R, for v = D u and vnorm = |v|.
void newton_scaled_step(std::size_t n, std::span<const std::size_t> ipvt,
                        std::span<const std::size_t> ifree, std::span<const double> diag,
                        std::span<const double> v, double vnorm, std::span<double> out);

}  // namespace quillet::solver
