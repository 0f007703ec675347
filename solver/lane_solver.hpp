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
#include <type_traits>

#include "solver/driver_steps.hpp"
#include "solver/lane_vectors.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/step_constants.hpp"

namespace quillet::solver::QUILLET_LANE_ISA {

// The steps the lanes share with the scalar run, compiled for this
// instruction set.
#include "solver/step_rules.hpp"
// Included after the step rules they are written in.
#include "solver/lm_rules.hpp"
#include "solver/qr_rules.hpp"

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

// The lanes' matrices and vectors as the shared steps read them (no
// lambdas: GCC compiles those for the baseline).
template <int N>
struct Elements {
  const std::array<std::array<Doubles, N>, N>* m;
  Doubles operator()(std::size_t i, std::size_t j) const { return (*m)[i][j]; }
};
// The damped factor's strict lower triangle, read and written.
template <int N>
struct LowerOf {
  std::array<std::array<Doubles, N>, N>* m;
  Doubles& operator()(std::size_t i, std::size_t j) const { return (*m)[i][j]; }
};
template <int N>
struct Components {
  const std::array<Doubles, N>* v;
  Doubles operator()(std::size_t j) const { return (*v)[j]; }
};
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
    const LanePivots<N> pivots{&s_.ipvt};
    const Components<N> acnorm_of{&s_.acnorm};
    const Doubles gnorm = gradient_measure(
        Elements<N>{&s_.r}, InPivotOrder<LanePivots<N>, Components<N>>{&pivots, &acnorm_of},
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
  // Q^T fvec alongside: qr_factor_qtf per lane, every column in each pass.
  void qr_factor_qtf(Mask lanes, std::size_t m, Vec& acnorm, Vec& rdiag, std::array<Ints, N>& ipvt,
                     Vec& qtf) {
    Vec refnorm;
    std::array<LaneSquares, N> below;
    const LanePivots<N> pivots{&ipvt};
    const Factoring<Doubles, Mask, Ints, Ints, std::array<Doubles*, N>, LanePivots<N>, LaneSquares>
        f{.col = w_.fjac,
          .pivots = pivots,
          .n = N,
          .rows = m,
          .count = s_.m,
          .lanes = lanes,
          .fvec = w_.fvec,
          .work = w_.work,
          .qtf = qtf.data(),
          .acnorm = acnorm.data(),
          .rdiag = rdiag.data(),
          .refnorm = refnorm.data(),
          .ipvt = ipvt.data(),
          .below = below.data()};
    factor_pivoted<N, N + 1, true>(f);
  }

  // The norm of N values, and of each lane's rows, as the shared steps take
  // them.
  struct NormOfN {
    Doubles operator()(const Doubles* v, Mask active) const {
      return norm(v, 0, N, splat_int(N), active);
    }
  };
  struct NormOfRows {
    std::size_t rows;
    Ints count;
    Doubles operator()(const Doubles* v, Mask active) const {
      return norm(v, 0, rows, count, active);
    }
  };

  // lm_parameter per lane: the step u for the bound delta (into u_out), and
  // par.
  void lm_parameter(Mask lanes, Vec& u_out) {
    using namespace lane_detail;
    Vec u{}, sdiag{}, w1, w2;
    std::array<Vec, N> lower{};
    LowerOf<N> lower_at{&lower};
    lm_parameter_search<Ints>(lanes, Elements<N>{&s_.r}, lower_at, LanePivots<N>{&s_.ipvt},
                              Components<N>{&s_.diag}, s_.qtf.data(), s_.delta, s_.par, u.data(),
                              u_out.data(), sdiag.data(), w1.data(), w2.data(), N, NormOfN{});
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

  // judge_step per lane, with the trial residuals in trial_fvec. `fresh_jacobian` gets
  // the lanes whose next step needs a new Jacobian (the ratio is not below
  // 1e-4), `stopped` those whose run ends.
  void judge(Mask lanes, Mask& fresh_jacobian, Mask& stopped) {
    using namespace lane_detail;
    Vec r_step, scaled;
    const TrialJudging<Doubles, Ints> judging{
        .fnorm = s_.fnorm,
        .fnorm1 = s_.fnorm1,
        .xnorm = s_.xnorm,
        .delta = s_.delta,
        .par = s_.par,
        .iter = s_.iter,
        .gnorm = s_.gnorm,
        .ftol = s_.ftol,
        .xtol = s_.xtol,
        .nfev = s_.nfev,
        .maxfev = s_.maxfev,
        .max_iter = s_.max_iter,
        .x = s_.x.data(),
        .fvec = w_.fvec,
        .trial_x = s_.xnew.data(),
        .trial_fvec = w_.trial_fvec,
        .step = s_.lm_step.data(),
        .r_step = r_step.data(),
        .scaled_x = scaled.data(),
    };
    const std::size_t m = rows();
    fresh_jacobian = judge_trial(lanes, judging, Elements<N>{&s_.r}, LanePivots<N>{&s_.ipvt},
                                 Components<N>{&s_.diag}, s_.alpha, s_.pnorm, N, m, NormOfN{},
                                 NormOfRows{m, s_.m}, s_.status);
    stopped = lanes & (s_.status != 0);
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
