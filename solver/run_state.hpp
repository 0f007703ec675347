// The working state of one solver run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "solver/solver_types.hpp"

namespace quillet::solver {

// Every buffer of a run, carved from the one block held by `storage`. Spans
// over free parameters have nfree entries and are indexed by free position j;
// `diag`, `xnew`, `xerror` and the derivative slots are indexed by parameter.
// The names are the solver's throughout: the driver, the Jacobian step and
// finish_solve read and write these fields directly.
struct RunState {
  std::size_t m = 0;      // residuals
  std::size_t npar = 0;   // parameters
  std::size_t nfree = 0;  // free parameters

  std::span<std::size_t> ifree;  // parameter index of each free position, ascending
  std::span<std::size_t> ipvt;   // column permutation of the last factorisation

  // Constraints of the free parameters, copied in free order.
  std::span<bool> has_lower;
  std::span<bool> has_upper;
  std::span<double> lower;
  std::span<double> upper;
  std::span<double> step;
  std::span<double> rel_step;
  std::span<DerivSide> side;
  std::span<bool> deriv_debug;
  std::span<double> deriv_rel_tol;
  std::span<double> deriv_abs_tol;
  bool qanylim = false;  // some free parameter has an active limit

  std::span<double> x;        // current free values
  std::span<double> xnew;     // full parameter vector handed to the model
  std::span<double> fvec;     // residuals at the current point (m)
  std::span<double> fjac;     // Jacobian, m x nfree column-major; then R, then the covariance
  std::span<double> qtf;      // first nfree components of Q^T fvec
  std::span<double> diag;     // scale factor per parameter
  std::span<double> wa1;      // the step; rdiag while factoring
  std::span<double> wa2;      // acnorm; trial free values; scaled x (m)
  std::span<double> wa3;      // diag * step; R * step
  std::span<double> wa4;      // residuals of the latest evaluation (m)
  std::span<double> refnorm;  // qr_factor scratch
  std::span<double> sdiag;    // lm_parameter's diagonal of S
  std::span<double> lm_w1;    // lm_parameter scratch
  std::span<double> lm_w2;    // lm_parameter scratch

  // One slot per parameter for evaluate_with_derivs; a present slot views
  // its free parameter's column of fjac, so the model writes straight into
  // the Jacobian.
  std::span<std::span<double>> deriv_slots;

  std::span<double> xerror;  // result: one-sigma errors (npar)
  std::span<double> covar;   // result: covariance, npar x npar row-major

  double fnorm = -1.0;
  double fnorm1 = -1.0;
  double xnorm = -1.0;
  double delta = 0.0;
  double par = 0.0;
  double gnorm = 0.0;  // gradient test of the current Jacobian
  double orignorm = 0.0;
  std::uint64_t iter = 1;
  std::uint64_t nfev = 1;
  std::uint64_t maxfev = 0;            // 0: no evaluation limit
  std::optional<SolverStatus> status;  // empty while the run goes on

  RunStorage storage;
};

// Sets up a run over m residuals and the parameters of `constraints`: takes
// its block (from `lent` when that is large enough and aligned, else one
// allocation), carves and zero-fills every buffer, builds `ifree`, copies the
// free parameters' constraints and sets `qanylim`. Counters and norms start
// at their initial values. Needs at least one free parameter.
RunState make_run_state(std::size_t m, std::span<const ParamConstraint> constraints,
                        std::span<std::byte> lent);

}  // namespace quillet::solver
