// `solve`, run for kLanes problems at once, one per lane, each to the very
// bits `solve` gives it alone.
//
// For problems of one shape: N parameters, every one free, with both limits
// active and its derivative from the model, and a configuration that leaves
// the scale factors and the non-finite check to the solver. That is the
// bounded Gaussian fit of every batch row; anything else goes to `solve`.
//
// Each lane keeps its own control flow. A round gives every busy lane one
// trial evaluation; what follows it (acceptance, the tests, a fresh Jacobian
// and its factorisation, the Levenberg–Marquardt parameter's damped solves,
// the next step) runs for all lanes in vector form, and each lane takes the
// results of the steps its own run makes and leaves the others' unseen. A
// lane whose run ends hands its result over and takes the next problem. The
// per-lane operations are those of the scalar steps, in the same order, on
// the same operands; only the lanes are side by side. The steps whose rules
// both runs share are written once, in step_rules.hpp.
//
// Memory: the caller owns a LaneWorkspace sized for its longest problem;
// nothing allocates while the lanes run. Like lane_vectors.hpp, included only
// by a translation unit that chose its instruction set.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>

#include "solver/driver_steps.hpp"
#include "solver/lane_vectors.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/step_constants.hpp"

namespace quillet::solver::QUILLET_LANE_ISA {

// The steps the lanes share with the scalar run, compiled for this
// instruction set.
#include "solver/step_rules.hpp"

// A problem handed to a lane: the model has been given its samples already.
struct LaneProblem {
  std::size_t m = 0;
  const SolverConfig* config = nullptr;
  std::span<const ParamConstraint> constraints;
  std::span<const double> xall;
};

// How a lane's run ended: an error, or a status with its parameters and
// bestnorm (covariance and errors are not formed).
template <int N>
struct LaneOutcome {
  std::optional<SolverError> error;
  SolverStatus status = SolverStatus::MaxIterReached;
  std::array<double, N> x{};
  double bestnorm = 0.0;
  std::uint64_t niter = 0, nfev = 0;  // as SolverResult counts them
  // The last factorisation: R (r[i][j] for i <= j) and its column order,
  // from which a caller forms the covariance as `solve` does.
  std::array<std::array<double, N>, N> r{};
  std::array<std::size_t, N> ipvt{};
};

// Whether a problem has the one shape the lanes run (see the top of this file).
inline bool lane_shaped(const SolverConfig& config, std::span<const ParamConstraint> constraints) {
  if (config.user_scale || config.no_finite_check) return false;
  return std::ranges::all_of(constraints, [](const ParamConstraint& c) {
    return !c.fixed && c.has_lower && c.has_upper && c.side == DerivSide::Analytic &&
           !c.deriv_debug;
  });
}

// The rows of every lane (m per lane, `capacity` at most): the residuals,
// the trial residuals, Q^T fvec's work vector and the Jacobian columns. One
// allocation, made before the lanes run.
template <int N>
class LaneWorkspace {
 public:
  explicit LaneWorkspace(std::size_t capacity)
      : capacity_(capacity), block_(new Doubles[(3 + N) * capacity]()) {
    fvec = block_.get();
    trial_fvec = fvec + capacity;
    work = trial_fvec + capacity;
    for (int c = 0; c < N; ++c) fjac[c] = work + capacity + c * capacity;
  }
  std::size_t capacity() const { return capacity_; }

  Doubles* fvec;
  Doubles* trial_fvec;
  Doubles* work;
  std::array<Doubles*, N> fjac;

 private:
  std::size_t capacity_;
  std::unique_ptr<Doubles[]> block_;
};

namespace lane_detail {

// v[ipvt[j]] for each lane's own permutation.
template <int N>
Doubles permuted(const std::array<Doubles, N>& v, Ints index) {
  Doubles out = v[0];
  for (int k = 1; k < N; ++k) out = (index == k) ? v[k] : out;
  return out;
}

// The lanes' matrices and vectors as the shared steps read them (no
// lambdas: GCC compiles those for the baseline).
template <int N>
struct Elements {
  const std::array<std::array<Doubles, N>, N>* m;
  Doubles operator()(std::size_t i, std::size_t j) const { return (*m)[i][j]; }
};
template <int N>
struct DiagonalOf {
  const std::array<std::array<Doubles, N>, N>* m;
  Doubles operator()(std::size_t j) const { return (*m)[j][j]; }
};
template <int N>
struct Components {
  const std::array<Doubles, N>* v;
  Doubles operator()(std::size_t j) const { return (*v)[j]; }
};
// v[ipvt[j]] for R's column j.
template <int N>
struct PermutedBy {
  const std::array<Doubles, N>* v;
  const std::array<Ints, N>* ipvt;
  Doubles operator()(std::size_t j) const { return permuted<N>(*v, (*ipvt)[j]); }
};

// out[ipvt[j]] = w[j] for every j, each lane by its own permutation.
template <int N>
void scatter(const std::array<Doubles, N>& w, const std::array<Ints, N>& ipvt,
             std::array<Doubles, N>& out) {
  for (int k = 0; k < N; ++k) {
    Doubles v = out[k];
    for (int j = 0; j < N; ++j) v = (ipvt[j] == k) ? w[j] : v;
    out[k] = v;
  }
}

}  // namespace lane_detail

// The lanes' state between rounds; fields are the scalar run's, one lane
// each. No member initialisers: GCC would generate the constructor for the
// baseline instruction set (as it does lambdas), and it cannot move a
// vector there; LaneSolver zero-fills the state instead.
template <int N>
struct LaneState {
  using Vec = std::array<Doubles, N>;
  Vec x, xnew, diag, qtf, lm_step, acnorm, lower, upper;  // lm_step: the step in flight
  std::array<Ints, N> ipvt;
  std::array<Vec, N> r;  // r[i][j] = R[i, j] for i <= j
  Doubles fnorm, fnorm1, xnorm, delta, par, gnorm, orignorm;
  Doubles alpha, pnorm;  // of the trial in flight
  Doubles ftol, xtol, gtol, step_factor;
  Ints iter, nfev, max_iter, maxfev;
  Ints m;
  Ints status;  // 0 while running, else a SolverStatus code
  Ints error;   // 0, or 1 + a SolverError code
};

template <int N, class Model>
class LaneSolver {
 public:
  using Vec = std::array<Doubles, N>;
  using Outcome = LaneOutcome<N>;

  LaneSolver(Model& model, LaneWorkspace<N>& work) : model_(model), w_(work) {
    std::memset(static_cast<void*>(&s_), 0, sizeof s_);
  }

  // Runs until `next(lane)` has no problem left for any lane: it loads the
  // model with a problem's samples for that lane and describes it, or
  // returns nothing. `done(lane, outcome)` receives every run's end.
  template <class Next, class Done>
  void run(Next&& next, Done&& done) {
    Mask idle = splat_int(-1);
    Mask fresh = splat_int(0), need_jacobian = splat_int(0), propose = splat_int(0),
         trial = splat_int(0), ended = splat_int(0);
    bool exhausted = false;
    // A lane refused before it starts is answered at once and refilled.
    auto refill = [&](Mask lanes) {
      for_each_lane(lanes, [&](int k) {
        for (;;) {
          const std::optional<LaneProblem> p = exhausted ? std::nullopt : next(k);
          if (!p) {
            exhausted = true;
            return;
          }
          if (p->m > w_.capacity() || p->constraints.size() != N ||
              !lane_shaped(*p->config, p->constraints)) {
            throw std::logic_error("a problem of another shape was handed to the lanes");
          }
          if (const auto refused = refuse_input(p->m, *p->config, p->constraints, p->xall, {})) {
            Outcome o;
            o.error = *refused;
            done(k, o);
            continue;
          }
          start_lane(k, *p);
          lane(idle, k) = 0;
          lane(fresh, k) = -1;
          return;
        }
      });
    };
    refill(idle);

    while (any(~idle)) {
      if (any(trial)) {
        evaluate_trial(trial);
        Mask accepted_or_nan, ended_here;
        judge(trial, accepted_or_nan, ended_here);
        ended |= ended_here;
        need_jacobian |= trial & accepted_or_nan & ~ended_here;
        propose |= trial & ~accepted_or_nan & ~ended_here;
        trial = splat_int(0);
      }
      for (;;) {
        if (any(ended)) {
          finish(ended, done);
          idle |= ended;
          const Mask refilled = ended;
          ended = splat_int(0);
          refill(refilled);
          fresh |= refilled & ~idle;
        }
        if (any(fresh)) {
          const Mask bad = start_point(fresh);
          ended |= bad;
          need_jacobian |= fresh & ~bad;
          fresh = splat_int(0);
        }
        if (any(need_jacobian)) {
          const Mask stop = factor(need_jacobian);
          ended |= stop;
          propose |= need_jacobian & ~stop;
          need_jacobian = splat_int(0);
        }
        if (!any(ended)) break;
      }
      if (any(propose)) {
        propose_step(propose);
        trial = propose;
        propose = splat_int(0);
      }
    }
  }

 private:
  std::size_t rows() const {
    std::int64_t most = 0;
    for (int k = 0; k < kLanes; ++k) most = std::max(most, s_.m[k]);
    return static_cast<std::size_t>(most);
  }

  Doubles norm_m(const Doubles* v, std::size_t first, Mask lanes) {
    return norm(v, first, rows(), s_.m, lanes);
  }
  Doubles norm_n(const Vec& v, Mask lanes) { return norm(v.data(), 0, N, splat_int(N), lanes); }

  void start_lane(int k, const LaneProblem& p) {
    lane(s_.m, k) = static_cast<std::int64_t>(p.m);
    for (int j = 0; j < N; ++j) {
      lane(s_.x[j], k) = p.xall[j];
      lane(s_.xnew[j], k) = p.xall[j];
      lane(s_.lower[j], k) = p.constraints[j].lower;
      lane(s_.upper[j], k) = p.constraints[j].upper;
      lane(s_.diag[j], k) = 0.0;
    }
    const SolverConfig& c = *p.config;
    lane(s_.ftol, k) = c.ftol;
    lane(s_.xtol, k) = c.xtol;
    lane(s_.gtol, k) = c.gtol;
    lane(s_.step_factor, k) = c.step_factor;
    lane(s_.max_iter, k) =
        static_cast<std::int64_t>(std::min<std::uint64_t>(c.max_iter, INT64_MAX));
    lane(s_.maxfev, k) = static_cast<std::int64_t>(
        std::min<std::uint64_t>(resolve_max_fev(c.max_fev, N), INT64_MAX));
    lane(s_.fnorm, k) = -1.0;
    lane(s_.fnorm1, k) = -1.0;
    lane(s_.xnorm, k) = -1.0;
    lane(s_.delta, k) = 0.0;
    lane(s_.par, k) = 0.0;
    lane(s_.gnorm, k) = 0.0;
    lane(s_.iter, k) = 1;
    lane(s_.nfev, k) = 1;
    lane(s_.status, k) = 0;
    lane(s_.error, k) = 0;
  }

  // The first evaluation: fnorm and orignorm. Returns the lanes whose
  // starting norm is not finite (they end with NonFinite).
  Mask start_point(Mask lanes) {
    model_.evaluate(lanes, s_.x, w_.fvec, rows());
    s_.nfev = lanes ? s_.nfev + 1 : s_.nfev;
    const Doubles fnorm = norm_m(w_.fvec, 0, lanes);
    s_.fnorm = lanes ? fnorm : s_.fnorm;
    s_.orignorm = lanes ? fnorm * fnorm : s_.orignorm;
    const Mask bad = lanes & ~(abs(fnorm) <= std::numeric_limits<double>::max());
    s_.error = bad ? splat_int(1 + static_cast<std::int64_t>(SolverError::NonFinite)) : s_.error;
    return bad;
  }

  void evaluate_trial(Mask lanes) {
    model_.evaluate(lanes, s_.xnew, w_.trial_fvec, rows());
    s_.nfev = lanes ? s_.nfev + 1 : s_.nfev;
  }

  // A fresh Jacobian at x, frozen columns, the factorisation with Q^T fvec,
  // the first scaling, the non-finite check and the gradient test. Returns
  // the lanes whose run ends here.
  Mask factor(Mask lanes) {
    using namespace lane_detail;
    const std::size_t m = rows();
    model_.evaluate_with_derivs(lanes, s_.x, w_.fjac, m);
    s_.nfev = lanes ? s_.nfev + 1 : s_.nfev;

    // Columns of parameters resting on a limit with outward gradient.
    for (int j = 0; j < N; ++j) {
      const Mask at_lower = lanes & (s_.lower[j] == s_.x[j]);
      const Mask at_upper = lanes & (s_.upper[j] == s_.x[j]);
      freeze_if_outward(w_.fvec, w_.fjac[j], m, s_.m, at_lower, at_upper);
    }

    Vec acnorm, rdiag, qtf;
    std::array<Ints, N> ipvt;
    qr_factor_qtf(lanes, m, acnorm, rdiag, ipvt, qtf);

    // First iteration: scale by the column norms, bound the step.
    const Mask first = lanes & (s_.iter == 1);
    Vec diag = s_.diag;
    if (any(first)) {
      Vec scaled;
      for (int j = 0; j < N; ++j) {
        diag[j] = first ? scale_of_column(acnorm[j]) : diag[j];
        scaled[j] = diag[j] * s_.x[j];
      }
      const Doubles xnorm = norm_n(scaled, first);
      const Doubles delta = initial_step_bound(s_.step_factor, xnorm);
      s_.xnorm = first ? xnorm : s_.xnorm;
      s_.delta = first ? delta : s_.delta;
    }

    // Non-finite factored Jacobian: v * 0 is NaN exactly for a non-finite v,
    // else a zero, and a sum of such products is NaN exactly when one is.
    Doubles probes = splat(0.0);
    for (std::size_t i = 0; i < m; ++i) {
      Doubles row = w_.fjac[0][i] * 0.0;
      for (int j = 1; j < N; ++j) row = row + w_.fjac[j][i] * 0.0;
      probes = (splat_int(static_cast<std::int64_t>(i)) < s_.m) ? probes + row : probes;
    }
    const Mask non_finite = lanes & (probes != probes);

    // R into the state.
    for (int i = 0; i < N; ++i) {
      for (int j = i; j < N; ++j) s_.r[i][j] = lanes ? w_.fjac[j][i] : s_.r[i][j];
    }
    for (int j = 0; j < N; ++j) {
      s_.acnorm[j] = lanes ? acnorm[j] : s_.acnorm[j];
      s_.qtf[j] = lanes ? qtf[j] : s_.qtf[j];
      s_.ipvt[j] = lanes ? ipvt[j] : s_.ipvt[j];
      s_.diag[j] = lanes ? diag[j] : s_.diag[j];
    }

    // Gradient test: the largest cosine between residuals and a column.
    const Doubles gnorm = gradient_measure(Elements<N>{&s_.r}, PermutedBy<N>{&s_.acnorm, &s_.ipvt},
                                           s_.qtf.data(), s_.fnorm, N);
    s_.gnorm = lanes ? gnorm : s_.gnorm;

    const Mask go = lanes & ~non_finite;
    const Mask gtol = go & (gnorm <= s_.gtol);
    const Mask no_iter = go & ~gtol & (s_.max_iter == 0);
    s_.error =
        non_finite ? splat_int(1 + static_cast<std::int64_t>(SolverError::NonFinite)) : s_.error;
    s_.status = gtol ? splat_int(static_cast<std::int64_t>(SolverStatus::GtolReached)) : s_.status;
    s_.status =
        no_iter ? splat_int(static_cast<std::int64_t>(SolverStatus::MaxIterReached)) : s_.status;
    const Mask scale = go & ~gtol & ~no_iter;
    for (int j = 0; j < N; ++j) {
      s_.diag[j] = scale ? nan_max(s_.diag[j], s_.acnorm[j]) : s_.diag[j];
    }
    return non_finite | gtol | no_iter;
  }

  // Householder QR with column pivoting of the lanes' Jacobians, forming
  // Q^T fvec alongside: qr_factor_qtf per lane. The column norms are summed
  // in one pass over the rows; then each step reads its rows twice, once to
  // scale its column and take the column's products with the later columns
  // and the work vector, once to apply the reflection to them. That second
  // pass also sums the squares of each later column below the step's row:
  // they are the next step's column norm (whichever column the pivoting
  // brings) and any norm the downdating recomputes, the same components in
  // the same order. The first step reads fvec where the work vector would
  // hold its copy.
  void qr_factor_qtf(Mask lanes, std::size_t m, Vec& acnorm, Vec& rdiag, std::array<Ints, N>& ipvt,
                     Vec& qtf) {
    {
      std::array<SquareSum, N> sums;
      sums.fill(no_squares());
      for (std::size_t i = 0; i < m; ++i) {
        const Ints magnitude = magnitude_bits(splat_int(static_cast<std::int64_t>(i)) < s_.m);
        for (int j = 0; j < N; ++j) add_square(sums[j], w_.fjac[j][i], magnitude);
      }
      std::array<const Doubles*, N> columns;
      for (int j = 0; j < N; ++j) columns[j] = w_.fjac[j];
      acnorm = finish_norms<N>(sums, columns, 0, m, s_.m, lanes);
    }
    Vec refnorm;
    for (int j = 0; j < N; ++j) {
      rdiag[j] = acnorm[j];
      refnorm[j] = acnorm[j];
      ipvt[j] = splat_int(j);
    }
    // below[k]: the squares of column k from the next step's row down.
    std::array<SquareSum, N> below;
    householder_steps<0>(lanes, m, acnorm, rdiag, refnorm, ipvt, qtf, below);
  }

  template <int J>
  void householder_steps(Mask lanes, std::size_t m, const Vec& acnorm, Vec& rdiag, Vec& refnorm,
                         std::array<Ints, N>& ipvt, Vec& qtf, std::array<SquareSum, N>& below) {
    if constexpr (J < N) {
      householder_step<J>(lanes, m, acnorm, rdiag, refnorm, ipvt, qtf, below);
      householder_steps<J + 1>(lanes, m, acnorm, rdiag, refnorm, ipvt, qtf, below);
    }
  }

  template <int J>
  void householder_step(Mask lanes, std::size_t m, const Vec& acnorm, Vec& rdiag, Vec& refnorm,
                        std::array<Ints, N>& ipvt, Vec& qtf, std::array<SquareSum, N>& below) {
    constexpr int kLater = N - 1 - J;
    Doubles* const cj = w_.fjac[J];
    // Pivot: strictly greater wins, so ties keep the lower index.
    Ints kmax = splat_int(J);
    Doubles best = rdiag[J];
    for (int k = J + 1; k < N; ++k) {
      const Mask greater = rdiag[k] > best;
      kmax = greater ? splat_int(k) : kmax;
      best = greater ? rdiag[k] : best;
    }
    for (int k = J + 1; k < N; ++k) {
      const Mask swap = lanes & (kmax == k);
      if (!any(swap)) continue;
      Doubles* const ck = w_.fjac[k];
      for (std::size_t i = 0; i < m; ++i) {
        const Doubles a = cj[i];
        cj[i] = swap ? ck[i] : a;
        ck[i] = swap ? a : ck[i];
      }
      rdiag[k] = swap ? rdiag[J] : rdiag[k];
      refnorm[k] = swap ? refnorm[J] : refnorm[k];
      const Ints pj = ipvt[J];
      ipvt[J] = swap ? ipvt[k] : pj;
      ipvt[k] = swap ? pj : ipvt[k];
      const SquareSum bj = below[J];
      below[J] = select(swap, below[k], bj);
      below[k] = select(swap, bj, below[k]);
    }

    // The first step's column is whole and unchanged: its norm is acnorm's.
    Doubles cnorm = J == 0 ? lane_detail::permuted<N>(acnorm, ipvt[0])
                           : finish_norm(below[J], cj, J, m, s_.m, lanes);
    const Mask reflect = lanes & (cnorm != 0.0);
    cnorm = (reflect & (cj[J] < 0.0)) ? -cnorm : cnorm;
    const Doubles* const source = J == 0 ? w_.fvec : w_.work;
    Doubles* const work = w_.work;

    // The Householder vector, and its products with the later columns and
    // the work vector before any of them changes.
    std::array<Doubles, kLater + 1> s;
    s.fill(splat(0.0));
    for (std::size_t i = J; i < m; ++i) {
      const Mask live = splat_int(static_cast<std::int64_t>(i)) < s_.m;
      Doubles v = reflect ? cj[i] / cnorm : cj[i];
      if (i == J) v = reflect ? v + 1.0 : v;
      cj[i] = v;
      for (int c = 0; c < kLater; ++c) s[c] = live ? s[c] + v * w_.fjac[J + 1 + c][i] : s[c];
      s[kLater] = live ? s[kLater] + v * source[i] : s[kLater];
    }

    // The reflection applied, with the squares of the later columns below
    // this step's row.
    const Doubles d = cj[J];
    std::array<Doubles, kLater + 1> t;
    for (int c = 0; c < kLater; ++c) t[c] = s[c] / d;
    const Mask apply = reflect & (d != 0.0);
    t[kLater] = -s[kLater] / d;
    std::array<SquareSum, kLater + 1> sums;
    sums.fill(no_squares());
    for (std::size_t i = J; i < m; ++i) {
      const Ints magnitude = magnitude_bits(splat_int(static_cast<std::int64_t>(i)) < s_.m);
      const Doubles v = cj[i];
      for (int c = 0; c < kLater; ++c) {
        Doubles* const ck = w_.fjac[J + 1 + c];
        const Doubles x = reflect ? ck[i] - t[c] * v : ck[i];
        ck[i] = x;
        if (i > J) add_square(sums[c], x, magnitude);
      }
      work[i] = apply ? source[i] + v * t[kLater] : source[i];
    }

    // The later columns' norms, downdated or recomputed.
    for (int c = 0; c < kLater; ++c) {
      const int k = J + 1 + c;
      const Doubles* const ck = w_.fjac[k];
      const Mask downdate = reflect & (rdiag[k] != 0.0);
      Doubles ratio = ck[J] / rdiag[k];
      const Doubles shrunk = rdiag[k] * sqrt(nan_max(splat(0.0), 1.0 - ratio * ratio));
      rdiag[k] = downdate ? shrunk : rdiag[k];
      ratio = rdiag[k] / refnorm[k];
      const Mask recompute = downdate & (kDowndateWeight * ratio * ratio < kDowndateFloor);
      if (any(recompute)) {
        const Doubles fresh = finish_norm(sums[c], ck, J + 1, m, s_.m, recompute);
        rdiag[k] = recompute ? fresh : rdiag[k];
        refnorm[k] = recompute ? fresh : refnorm[k];
      }
      below[k] = sums[c];
    }
    rdiag[J] = -cnorm;
    cj[J] = rdiag[J];
    qtf[J] = work[J];
  }

  // The damped system R u ~ qtb, diag(damp) P^T u ~ 0 by Givens rotations:
  // qr_solve per lane. `lower` receives the rotated factor's strict lower
  // triangle (lower[i][j], i > j), `sdiag` its diagonal.
  void qr_solve(const Vec& damp, Vec& u, Vec& sdiag, std::array<Vec, N>& lower) const {
    using namespace lane_detail;
    Vec w = s_.qtf;
    Vec diag_work;
    for (int j = 0; j < N; ++j) {
      diag_work[j] = s_.r[j][j];
      for (int i = j + 1; i < N; ++i) lower[i][j] = s_.r[j][i];
    }
    for (int j = 0; j < N; ++j) {
      const Doubles dl = permuted<N>(damp, s_.ipvt[j]);
      const Mask go = dl != 0.0;
      for (int k = j + 1; k < N; ++k) sdiag[k] = go ? splat(0.0) : sdiag[k];
      sdiag[j] = go ? dl : sdiag[j];
      Doubles qtbpj = splat(0.0);
      for (int k = j; k < N; ++k) {
        const Mask rotate = go & (sdiag[k] != 0.0);
        const Doubles rkk = diag_work[k];
        // The cotangent form where |sdiag| > |rkk|, else the tangent form:
        // each lane's ratio, and the sine or cosine taken from it, come from
        // one division and one square root whichever form it takes.
        const auto [cos, sin] = givens(rkk, sdiag[k]);
        diag_work[k] = rotate ? cos * rkk + sin * sdiag[k] : diag_work[k];
        const Doubles wk = cos * w[k] + sin * qtbpj;
        const Doubles q = cos * qtbpj - sin * w[k];
        w[k] = rotate ? wk : w[k];
        qtbpj = rotate ? q : qtbpj;
        for (int i = k + 1; i < N; ++i) {
          const Doubles l = cos * lower[i][k] + sin * sdiag[i];
          const Doubles sd = cos * sdiag[i] - sin * lower[i][k];
          lower[i][k] = rotate ? l : lower[i][k];
          sdiag[i] = rotate ? sd : sdiag[i];
        }
      }
      sdiag[j] = diag_work[j];
    }
    solve_nonsingular<Ints>(Elements<N>{&lower}, Components<N>{&sdiag}, w.data(), N, false);
    scatter<N>(w, s_.ipvt, u);
  }

  // out[j] = (v[ipvt[j]] / vnorm) * diag[ipvt[j]].
  Vec newton_scaled_step(const Vec& v, Doubles vnorm) const {
    Vec out;
    for (int j = 0; j < N; ++j) {
      out[j] = (lane_detail::permuted<N>(v, s_.ipvt[j]) / vnorm) *
               lane_detail::permuted<N>(s_.diag, s_.ipvt[j]);
    }
    return out;
  }

  // lm_parameter per lane: the step u for the bound delta, and par.
  void lm_parameter(Mask lanes, Vec& u_out) {
    using namespace lane_detail;
    const Doubles delta = s_.delta;
    const auto& r = s_.r;
    Vec w1, w2, u{};
    for (int j = 0; j < N; ++j) w1[j] = s_.qtf[j];
    const Ints nsing =
        solve_nonsingular<Ints>(Elements<N>{&r}, DiagonalOf<N>{&r}, w1.data(), N, true);
    scatter<N>(w1, s_.ipvt, u);
    for (int j = 0; j < N; ++j) w2[j] = s_.diag[j] * u[j];
    Doubles dxnorm = norm_n(w2, lanes);
    Doubles fp = dxnorm - delta;
    // Gauss–Newton steps short enough are taken with par = 0.
    const Mask newton = lanes & newton_step_fits(fp, delta);
    s_.par = newton ? splat(0.0) : s_.par;
    for (int j = 0; j < N; ++j) u_out[j] = newton ? u[j] : u_out[j];
    Mask live = lanes & ~newton;
    if (!any(live)) return;

    Doubles parl = splat(0.0);
    const Mask regular = nsing == N;
    {
      Vec a = newton_scaled_step(w2, dxnorm);
      solve_r_transposed(Elements<N>{&r}, a.data(), N);
      const Doubles tn = norm_n(a, live & regular);
      parl = regular ? newton_correction(fp, delta, tn) : parl;
    }
    scaled_gradient(Elements<N>{&r}, s_.qtf.data(), PermutedBy<N>{&s_.diag, &s_.ipvt}, w1.data(),
                    N);
    const Doubles qnorm = norm_n(w1, live);
    Doubles paru = initial_par_upper(qnorm, delta);
    Doubles par = initial_par(s_.par, parl, paru, qnorm, dxnorm);

    for (int solves = 1;; ++solves) {
      par = positive_par(par, paru);
      const Doubles t = sqrt(par);
      Vec damp;
      for (int j = 0; j < N; ++j) damp[j] = t * s_.diag[j];
      Vec sdiag{};
      std::array<Vec, N> lower{};
      qr_solve(damp, u, sdiag, lower);
      for (int j = 0; j < N; ++j) w2[j] = s_.diag[j] * u[j];
      dxnorm = norm_n(w2, live);
      const Doubles fp_prev = fp;
      fp = dxnorm - delta;

      s_.par = live ? par : s_.par;
      for (int j = 0; j < N; ++j) u_out[j] = live ? u[j] : u_out[j];
      const Mask stop =
          par_search_done(fp, fp_prev, parl, delta) | splat_int(solves == kMaxSolves ? -1 : 0);
      live &= ~stop;
      if (!any(live)) return;

      Vec a = newton_scaled_step(w2, dxnorm);
      solve_lower(Elements<N>{&lower}, Components<N>{&sdiag}, a.data(), N);
      const Doubles tn = norm_n(a, live);
      next_par(fp, newton_correction(fp, delta, tn), par, parl, paru);
    }
  }

  // lm_parameter, the limits' shortening, pnorm and the trial point.
  void propose_step(Mask lanes) {
    using namespace lane_detail;
    Vec step = s_.lm_step;
    lm_parameter(lanes, step);
    for (int j = 0; j < N; ++j) step[j] = -step[j];

    // Every limit is active in the lanes.
    const Mask has = splat_int(-1);
    Shortening<Doubles, Mask, Ints> shortening{splat(1.0), splat_int(-1), splat_int(0)};
    for (int j = 0; j < N; ++j) {
      shorten_for(s_.x[j], s_.lower[j], s_.upper[j], has, has, splat_int(j), step[j], shortening);
    }
    Vec trial;
    for (int j = 0; j < N; ++j) {
      trial[j] = shortened_trial(s_.x[j], s_.lower[j], s_.upper[j], has, has, splat_int(j), step[j],
                                 shortening);
    }
    Vec scaled_step;
    for (int j = 0; j < N; ++j) scaled_step[j] = s_.diag[j] * step[j];
    const Doubles pnorm = norm_n(scaled_step, lanes);
    s_.delta = (lanes & (s_.iter == 1)) ? nan_min(s_.delta, pnorm) : s_.delta;
    for (int j = 0; j < N; ++j) {
      s_.lm_step[j] = lanes ? step[j] : s_.lm_step[j];
      s_.xnew[j] = lanes ? trial[j] : s_.xnew[j];
    }
    s_.alpha = lanes ? shortening.alpha : s_.alpha;
    s_.pnorm = lanes ? pnorm : s_.pnorm;
  }

  // judge_step per lane, with the trial residuals in trial_fvec. `fresh_jacobian`
  // gets the lanes whose next step needs a new Jacobian (the ratio is not
  // below 1e-4), `stopped` those whose run ends.
  void judge(Mask lanes, Mask& fresh_jacobian, Mask& stopped) {
    using namespace lane_detail;
    const std::size_t m = rows();
    const Doubles fnorm1 = norm_m(w_.trial_fvec, 0, lanes);
    s_.fnorm1 = lanes ? fnorm1 : s_.fnorm1;
    const Doubles fnorm = s_.fnorm;
    const Doubles actred = actual_reduction(fnorm1, fnorm);

    Vec r_step;
    r_times_step(Elements<N>{&s_.r}, PermutedBy<N>{&s_.lm_step, &s_.ipvt}, r_step.data(), N);
    const Reductions<Doubles> r =
        reductions(actred, norm_n(r_step, lanes), s_.alpha, s_.par, s_.pnorm, fnorm);
    const Doubles ratio = r.ratio;
    const StepBound<Doubles> bound = next_step_bound(r, s_.delta, s_.par, s_.pnorm, fnorm1, fnorm);
    s_.delta = lanes ? bound.delta : s_.delta;
    s_.par = lanes ? bound.par : s_.par;

    const Mask accept = lanes & (ratio >= kAcceptRatio);
    if (any(accept)) {
      Vec scaled;
      for (int j = 0; j < N; ++j) {
        s_.x[j] = accept ? s_.xnew[j] : s_.x[j];
        scaled[j] = s_.diag[j] * s_.x[j];
      }
      for (std::size_t i = 0; i < m; ++i) w_.fvec[i] = accept ? w_.trial_fvec[i] : w_.fvec[i];
      const Doubles xnorm = norm_n(scaled, accept);
      s_.xnorm = accept ? xnorm : s_.xnorm;
      s_.fnorm = accept ? fnorm1 : s_.fnorm;
      s_.iter = accept ? s_.iter + 1 : s_.iter;
    }

    const Ints status = stop_code<Ints>(r, s_.delta, s_.xnorm, s_.gnorm, s_.ftol, s_.xtol, s_.nfev,
                                        s_.maxfev, s_.iter, s_.max_iter);
    s_.status = lanes ? status : s_.status;

    stopped = lanes & (status != 0);
    fresh_jacobian = lanes & ~(ratio < kAcceptRatio);
  }

  template <class Done>
  void finish(Mask lanes, Done& done) {
    for_each_lane(lanes, [&](int k) {
      Outcome o;
      const std::int64_t error = lane(s_.error, k);
      if (error != 0) {
        o.error = static_cast<SolverError>(error - 1);
      } else {
        o.status = static_cast<SolverStatus>(lane(s_.status, k));
        for (int j = 0; j < N; ++j) o.x[j] = lane(s_.x[j], k);
        for (int i = 0; i < N; ++i) {
          o.ipvt[i] = static_cast<std::size_t>(lane(s_.ipvt[i], k));
          for (int j = i; j < N; ++j) o.r[i][j] = lane(s_.r[i][j], k);
        }
        // The scalar maximum: this lambda is compiled for the baseline.
        const double largest = solver::nan_max(lane(s_.fnorm, k), lane(s_.fnorm1, k));
        o.bestnorm = largest * largest;
        o.niter = static_cast<std::uint64_t>(lane(s_.iter, k));
        o.nfev = static_cast<std::uint64_t>(lane(s_.nfev, k));
      }
      lane(s_.m, k) = 0;
      done(k, o);
    });
  }

  Model& model_;
  LaneWorkspace<N>& w_;
  LaneState<N> s_;
};

}  // namespace quillet::solver::QUILLET_LANE_ISA
