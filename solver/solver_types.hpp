// The records that cross the solver's boundary: configuration, constraints,
// the residual model's concept, the result and its storage, the completion
// codes and the error kinds. solver.hpp is the contract and includes this;
// the solver's internal headers include only this, so that no header of the
// solver includes one that includes it back.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace quillet::solver {

// Machine epsilon of double, 2^-52: the solver's floor for every tolerance.
inline constexpr double kEpsilon = 2.220446049250313e-16;

// How the Jacobian column of one parameter is obtained. The numbers are kept:
// they are the codes callers store.
enum class DerivSide : std::uint8_t {
  Auto = 0,      // forward difference; backward when within one step below an active upper limit
  Plus = 1,      // forward difference
  Minus = 2,     // backward difference
  Both = 3,      // central difference, two evaluations
  Analytic = 4,  // the model's own derivative (`evaluate_with_derivs`)
};

// Limit on the number of model evaluations of a run.
struct MaxFev {
  enum class Kind : std::uint8_t {
    Default,    // 200 * (nfree + 1)
    Unlimited,  // no limit: only max_iter and the tolerances end a run
    Limit,      // `limit` evaluations; a limit of 0 means Default
  };
  Kind kind = Kind::Default;
  std::uint64_t limit = 0;

  static constexpr MaxFev defaults() { return {}; }
  static constexpr MaxFev unlimited() { return {Kind::Unlimited, 0}; }
  static constexpr MaxFev at_most(std::uint64_t n) { return {Kind::Limit, n}; }
};

struct SolverConfig {
  double ftol = 1e-10;           // relative reduction of the sum of squares (> 0)
  double xtol = 1e-10;           // relative size of the scaled step bound (> 0)
  double gtol = 1e-10;           // orthogonality of residuals and Jacobian columns (> 0)
  double epsfcn = kEpsilon;      // relative precision of the residuals; finite-difference base
  double step_factor = 100.0;    // first step bound, relative to the scaled parameters (> 0)
  double covtol = 1e-14;         // relative rank cut of the covariance
  std::uint64_t max_iter = 200;  // iteration counter limit (starts at 1); 0 = one Jacobian only
  MaxFev max_fev = MaxFev::defaults();
  bool user_scale = false;       // take scale factors from the caller, never from the Jacobian
  bool no_finite_check = false;  // skip the test for non-finite entries of the factored Jacobian
  bool no_covariance = false;    // leave covar and xerror zero, for callers that read neither
};

// One per parameter, in parameter order.
struct ParamConstraint {
  bool fixed = false;
  bool has_lower = false;
  bool has_upper = false;
  double lower = 0.0;
  double upper = 0.0;
  double step = 0.0;      // absolute finite-difference step, used when > 0
  double rel_step = 0.0;  // relative finite-difference step, used when > 0; wins over `step`
  DerivSide side = DerivSide::Auto;
  bool deriv_debug = false;    // print model vs finite-difference derivatives to stderr
  double deriv_rel_tol = 0.0;  // tolerances of that comparison
  double deriv_abs_tol = 0.0;
};

// How a run that reached the iteration ended. The numbers are kept.
enum class SolverStatus : std::uint8_t {
  FtolReached = 1,      // |actred| <= ftol, prered <= ftol and ratio <= 2
  XtolReached = 2,      // delta <= xtol * xnorm
  FtolXtolReached = 3,  // both of the above in one iteration
  GtolReached = 4,      // gnorm <= gtol
  MaxIterReached = 5,   // iter >= max_iter, nfev >= max_fev, or max_iter == 0
  FtolTooSmall = 6,     // |actred| <= eps, prered <= eps and ratio <= 2
  XtolTooSmall = 7,     // delta <= eps * xnorm
  GtolTooSmall = 8,     // gnorm <= eps
};

// Why a run was refused (or, for NonFinite, abandoned). The numbers are kept.
enum class SolverError : std::uint8_t {
  BadInput = 0,              // ftol, xtol, gtol or step_factor <= 0; user_scale without scales
  NonFinite = 1,             // non-finite factored Jacobian, or non-finite starting residuals
  NoResiduals = 2,           // m == 0
  NoFreeParams = 3,          // every parameter fixed
  InitialOutsideLimits = 4,  // a start below an active lower or above an active upper limit
  InconsistentLimits = 5,    // a free parameter with both limits active and lower >= upper
  TooFewResiduals = 6,       // m < nfree
};

// What the solver asks of a problem. `evaluate` writes the m residuals at
// `params` (npar values). `evaluate_with_derivs` also writes, for every
// parameter p whose slot `derivs[p]` is not empty, dr_i/dp into that slot (m
// values, zero-filled by the solver beforehand). Neither reports errors;
// non-finite values are caught by the NonFinite check. Both are called only
// from the thread running `solve`.
template <class M>
concept ResidualModel = requires(M& model, std::span<const double> params, std::span<double> out,
                                 std::span<const std::span<double>> derivs) {
  { model.residual_count() } -> std::convertible_to<std::size_t>;
  model.evaluate(params, out);
  model.evaluate_with_derivs(params, out, derivs);
};

// Storage of a run: one block holding the work buffers and the result arrays.
// Owned by the result unless the caller lent it.
class RunStorage {
 public:
  RunStorage() = default;
  RunStorage(std::size_t bytes, std::span<std::byte> lent);
  std::span<std::byte> bytes() const { return bytes_; }

 private:
  std::unique_ptr<std::byte[]> owned_;
  std::span<std::byte> bytes_;
};

struct SolverResult {
  std::span<const double> resid;   // m residuals at the returned parameters
  std::span<const double> xerror;  // npar one-sigma errors from the covariance (0 for fixed)
  std::span<const double> covar;   // npar x npar covariance, row-major by parameter index
  double bestnorm = 0.0;           // final chi-square: max(fnorm, fnorm1)^2
  double orignorm = 0.0;           // chi-square at the starting point
  std::uint64_t niter = 0;         // 1 + accepted steps
  std::uint64_t nfev = 0;          // 1 + model evaluations
  std::uint64_t npar = 0;
  std::uint64_t nfree = 0;
  std::uint64_t npegged = 0;  // parameters whose value equals an active limit
  std::uint64_t nfunc = 0;    // m
  SolverStatus status = SolverStatus::MaxIterReached;
  RunStorage storage;  // backs resid, xerror and covar
};

// Bytes of storage a run over m residuals and npar parameters needs. A caller
// that runs many small problems may lend `solve` a buffer at least this large
// (aligned for double) and so avoid the run's one allocation; the result's
// arrays then point into that buffer. A smaller or misaligned buffer is not
// used: the run allocates as usual.
std::size_t workspace_bytes(std::size_t m, std::size_t npar);

}  // namespace quillet::solver
