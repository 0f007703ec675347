// The working state of one solver run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "solver/solver_types.hpp"
#include "solver/square_sum.hpp"

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

  std::span<double> x;     // current free values
  std::span<double> xnew;  // full parameter vector handed to the model
  std::span<double> fvec;  // residuals at the current point (m)
  std::span<double> fjac;  // Jacobian, m x nfree column-major; then R, then the covariance
  std::span<double> qtf;   // first nfree components of Q^T fvec
  std::span<double> diag;  // scale factor per parameter

  // Four work buffers, each serving several purposes in turn: the names
  // below are views of them, one per purpose, and two names over the same
  // buffer are never in use at once.
  //
  // Buffer 1 (nfree):
  std::span<double> rdiag;    // factor_jacobian: R's diagonal, until form_qtf puts it into fjac
  std::span<double> lm_step;  // propose_step, judge_step: the step, negated and shortened by limits
  // Buffer 2 (m; the first nfree entries unless said):
  std::span<double> acnorm;           // factor_jacobian: the Jacobian's column norms
  std::span<double> trial_x;          // propose_step, judge_step: the trial's free values
  std::span<double> scaled_x;         // judge_step, on acceptance: diag * x
  std::span<double> forward_fvec;     // compute_jacobian: residuals at x + h (all m), for a
                                      // central difference
  std::span<double> covariance_work;  // finish_solve: the covariance's scratch
  // Buffer 3 (nfree):
  std::span<double> scaled_start;  // factor_jacobian, first iteration: diag * x
  std::span<double> scaled_step;   // propose_step: diag * lm_step
  std::span<double> r_step;        // judge_step: R times lm_step, in pivoted order
  // Buffer 4 (m):
  std::span<double> full_qtf;    // factor_jacobian: Q^T fvec in full, formed while factoring
  std::span<double> jac_fvec;    // compute_jacobian: residuals of its evaluations (at x
                                 // beside the derivatives, or at x +- h)
  std::span<double> trial_fvec;  // solve, judge_step: residuals at the trial point
  std::span<double> refnorm;     // qr_factor scratch
  std::span<double> sdiag;       // lm_parameter's diagonal of S
  std::span<double> lm_w1;       // lm_parameter scratch
  std::span<double> lm_w2;       // lm_parameter scratch

  // qr_factor's scratch (nfree): the squares each column keeps between steps.
  std::span<ColumnSquares> column_squares;

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
