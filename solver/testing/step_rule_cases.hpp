// The shared step rules (step_rules.hpp) applied to one case of inputs, for
// step_rules_test.cpp to run for one problem and, through the lane kernels
// (lane_kernels.hpp), for lanes of cases, and compare. Included inside a
// namespace after step_rules.hpp, like it: quillet::solver for doubles, an
// instruction set's namespace for Doubles.
//
// The inputs of a case, in order: fnorm1, fnorm, rnorm, alpha, par, pnorm,
// delta, xnorm, gnorm, ftol, xtol, x, lower, upper, step, fp, fp_prev, parl,
// paru, qnorm, dxnorm, tn; then the counts nfev, maxfev, iter, max_iter.
// Every output is a double (a status code as its number).
#ifndef QUILLET_TESTING
#error "test support: only test targets, which link quillet_testing, include this header"
#endif

inline constexpr std::size_t kStepRuleReals = 22;
inline constexpr std::size_t kStepRuleCounts = 4;
inline constexpr std::size_t kStepRuleOutputs = 26;

// A 1 x 1 matrix, or a vector of one component, for the steps that read R.
template <class Real>
struct Single {
  Real v;
  Real operator()(std::size_t) const { return v; }
  Real operator()(std::size_t, std::size_t) const { return v; }
};

// `zero` is a zero Code (std::int64_t or Ints); `yes` a condition that holds.
template <class Real, class Code, class Bool>
void apply_step_rules(const Real* in, const Code* counts, Real* out, Code zero, Bool yes) {
  std::size_t o = 0;
  const Real actred = actual_reduction(in[0], in[1]);
  const Reductions<Real> r = reductions(actred, in[2], in[3], in[4], in[5], in[1]);
  out[o++] = r.actred;
  out[o++] = r.prered;
  out[o++] = r.dirder;
  out[o++] = r.ratio;
  const StepBound<Real> bound = next_step_bound(r, in[6], in[4], in[5], in[0], in[1]);
  out[o++] = bound.delta;
  out[o++] = bound.par;
  const Code code = stop_code<Code>(r, bound.delta, in[7], in[8], in[9], in[10], counts[0],
                                    counts[1], counts[2], counts[3]);
  out[o++] = to_doubles(code);

  // One parameter's step at its limits, as parameter 0 of a run.
  Real step = in[14];
  const Bool no = yes & (!yes);
  Shortening<Real, Bool, Code> s{filled<Real>(1.0), zero - 1, no};
  shorten_for(in[11], in[12], in[13], yes, yes, zero, step, s);
  out[o++] = step;
  out[o++] = s.alpha;
  out[o++] = select(s.limiting == zero, 1.0, 0.0);
  out[o++] = shortened_trial(in[11], in[12], in[13], yes, yes, zero, step, s);
  out[o++] = step;

  out[o++] = select(newton_step_fits(in[15], in[6]), 1.0, 0.0);
  out[o++] = newton_correction(in[15], in[6], in[21]);
  const Real paru = initial_par_upper(in[19], in[6]);
  out[o++] = paru;
  out[o++] = initial_par(in[4], in[17], in[18], in[19], in[20]);
  out[o++] = positive_par(in[4], in[18]);
  out[o++] = select(par_search_done(in[15], in[16], in[17], in[6]), 1.0, 0.0);
  Real par = in[4], parl = in[17], paru_next = in[18];
  next_par(in[15], in[21], par, parl, paru_next);
  out[o++] = par;
  out[o++] = parl;
  out[o++] = paru_next;

  out[o++] = gradient_measure(Single<Real>{in[2]}, Single<Real>{in[7]}, &in[5], in[1], 1);
  const Rotation<Real> g = givens(in[2], in[5]);
  out[o++] = g.cos;
  out[o++] = g.sin;
  out[o++] = scale_of_column(in[5]);
  out[o++] = initial_step_bound(in[9], in[7]);
}
