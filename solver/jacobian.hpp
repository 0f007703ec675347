// The Jacobian step of a run.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "solver/jacobian_debug.hpp"
#include "solver/nan_minmax.hpp"
#include "solver/run_state.hpp"
#include "solver/solver_types.hpp"

namespace quillet::solver {

// Base of the finite-difference steps: the square root of the residuals'
// relative precision, never below that of double (a NaN `epsfcn` counts as
// the smaller).
inline double finite_difference_eps(double epsfcn) { return std::sqrt(nan_max(epsfcn, kEpsilon)); }

// The step of one finite-difference column at parameter value v, signed:
// negative for a backward difference. `Auto` steps backward only when an
// active upper limit lies within one step above v; no other side looks at
// the limits, so a step may leave the feasible range.
inline double finite_difference_step(const RunState& s, std::size_t j, double v, double eps) {
  double h = std::fabs(v) * eps;
  if (s.step[j] > 0) h = s.step[j];
  if (s.rel_step[j] > 0) h = std::fabs(s.rel_step[j] * v);
  if (h == 0) h = eps;
  const DerivSide side = s.side[j];
  if (side == DerivSide::Minus || (side == DerivSide::Auto && s.has_upper[j] && v > s.upper[j] - h))
    h = -h;
  return h;
}

// Fills `fjac` (m x nfree, column-major, column j for parameter ifree[j])
// with dr_i/dp at the point in `xnew`, whose residuals are in `fvec`.
// Columns of `Analytic` parameters come from one evaluate_with_derivs call
// shared by all of them; the others from one evaluation each (two for
// `Both`). A parameter with `deriv_debug` also gets a finite-difference
// column, which replaces the model's after the two are printed side by side.
//
// Raises `nfev` by the evaluations made; leaves `xnew` and `fvec` as they
// were; overwrites `jac_fvec` (and `forward_fvec` for a `Both` column).
// Allocates nothing.
template <ResidualModel Model>
void compute_jacobian(Model& model, RunState& s, double epsfcn) {
  const std::size_t m = s.m;
  std::ranges::fill(s.fjac, 0.0);
  auto column = [&](std::size_t j) { return s.fjac.subspan(j * m, m); };

  bool any_from_model = false;
  bool any_debug = false;
  for (std::size_t j = 0; j < s.nfree; ++j) {
    any_from_model = any_from_model || s.side[j] == DerivSide::Analytic || s.deriv_debug[j];
    any_debug = any_debug || s.deriv_debug[j];
  }

  if (any_from_model) {
    // The slots view the (zeroed) columns of fjac, so the model's derivatives
    // land where they belong without a copy; a column the model leaves alone
    // stays zero.
    std::ranges::fill(s.deriv_slots, std::span<double>{});
    for (std::size_t j = 0; j < s.nfree; ++j) {
      if (s.side[j] == DerivSide::Analytic || s.deriv_debug[j])
        s.deriv_slots[s.ifree[j]] = column(j);
    }
    model.evaluate_with_derivs(std::span<const double>(s.xnew), s.jac_fvec,
                               std::span<const std::span<double>>(s.deriv_slots));
    s.nfev += 1;
  }

  if (any_debug) write_deriv_debug_begin();
  const double eps = finite_difference_eps(epsfcn);

  for (std::size_t j = 0; j < s.nfree; ++j) {
    if (s.side[j] == DerivSide::Analytic && !s.deriv_debug[j]) continue;
    const std::size_t p = s.ifree[j];
    const double v = s.xnew[p];
    if (s.deriv_debug[j]) write_deriv_debug_param(p);
    const double h = finite_difference_step(s, j, v, eps);

    s.xnew[p] = v + h;
    model.evaluate(std::span<const double>(s.xnew), s.jac_fvec);
    s.nfev += 1;
    s.xnew[p] = v;

    const bool central = s.side[j] == DerivSide::Both;
    if (central) {
      std::ranges::copy(s.jac_fvec, s.forward_fvec.begin());
      s.xnew[p] = v - h;
      model.evaluate(std::span<const double>(s.xnew), s.jac_fvec);
      s.nfev += 1;
      s.xnew[p] = v;
    }

    std::span<double> col = column(j);
    for (std::size_t i = 0; i < m; ++i) {
      const double d =
          central ? (s.forward_fvec[i] - s.jac_fvec[i]) / (h + h) : (s.jac_fvec[i] - s.fvec[i]) / h;
      if (s.deriv_debug[j] &&
          deriv_debug_row_shown(col[i], d, s.deriv_rel_tol[j], s.deriv_abs_tol[j])) {
        write_deriv_debug_row(i, s.fvec[i], col[i], d);
      }
      col[i] = d;
    }
  }

  if (any_debug) write_deriv_debug_end();
}

}  // namespace quillet::solver
