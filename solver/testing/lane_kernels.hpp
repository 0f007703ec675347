// The kernels of the lanes' tests (lane_norm_test.cpp, lane_solver_test.cpp):
// the lanes' norm, and LaneSolver on curve problems, behind plain
// interfaces. Included twice by each kernel's translation unit
// (lane_kernels_avx2_test.cpp, lane_kernels_avx512_test.cpp): first for what
// everyone sees (the headers the lanes include, compiled for the baseline,
// and the kernels' declarations), then after the target pragma and the
// definitions of QUILLET_LANE_ISA and QUILLET_LANE_WIDTH for the kernels
// themselves (see lane_vectors.hpp). The tests include it once, for the
// first part.
#ifndef QUILLET_TESTING
#error "test support: only test targets, which link quillet_testing, include this header"
#endif
#ifndef QUILLET_LANE_ISA
#ifndef QUILLET_LANE_KERNELS_DECLARED
#define QUILLET_LANE_KERNELS_DECLARED
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>

#include "solver/driver_steps.hpp"
#include "solver/euclid_norm.hpp"
#include "solver/scalar_or_lanes.hpp"
#include "solver/solver_types.hpp"
#include "solver/step_constants.hpp"
#include "solver/testing/curve_model.hpp"

namespace quillet::solver {

// The most rows a norm kernel takes.
inline constexpr std::size_t kMaxLaneNormRows = 64;

// A three-parameter curve problem for the lanes, in the shape they run
// (every parameter free, with both limits, and its derivative from the model).
struct LaneCurveProblem {
  const testing::CurveModel* model;
  SolverConfig config;
  std::array<ParamConstraint, 3> constraints;
  std::array<double, 3> start;
};

// How a lane's run ended: an error code, or a status with x, bestnorm and
// the counts.
struct LaneCurveOutcome {
  std::optional<SolverError> error;
  SolverStatus status;
  std::array<double, 3> x;
  double bestnorm;
  std::uint64_t niter, nfev;
};

// In each instruction set's namespace:
//
// lane_norms: the norms of one vector per lane stored lane by lane
// (values[i * lanes + k] is row i of lane k), each over rows [first,
// counts[k]) of `rows`, into out[k].
//
// solve_in_lanes: every problem run by one LaneSolver, its lanes refilled in
// the problems' order; out[i] is problem i's outcome.
//
// step_rules_in_lanes: apply_step_rules (step_rule_cases.hpp) on one case
// per lane, stored lane by lane like lane_norms' values: reals[i * lanes +
// k] is real input i of lane k, counts likewise, out[o * lanes + k] output o.
namespace avx2 {
void lane_norms(const double* values, const std::int64_t* counts, std::size_t first,
                std::size_t rows, double* out);
void solve_in_lanes(std::span<const LaneCurveProblem> problems, std::span<LaneCurveOutcome> out);
void step_rules_in_lanes(const double* reals, const std::int64_t* counts, double* out);
}  // namespace avx2
#if !defined(QUILLET_LANES_AVX512) || QUILLET_LANES_AVX512
namespace avx512 {
void lane_norms(const double* values, const std::int64_t* counts, std::size_t first,
                std::size_t rows, double* out);
void solve_in_lanes(std::span<const LaneCurveProblem> problems, std::span<LaneCurveOutcome> out);
void step_rules_in_lanes(const double* reals, const std::int64_t* counts, double* out);
}  // namespace avx512
#endif

// The kernels of one instruction set, for the tests to run where this
// processor has it.
struct LaneKernels {
  const char* name;
  int width;
  bool (*runs_here)();
  decltype(&avx2::lane_norms) lane_norms;
  decltype(&avx2::solve_in_lanes) solve_in_lanes;
  decltype(&avx2::step_rules_in_lanes) step_rules_in_lanes;
};

inline const LaneKernels kLaneKernels[] = {
    {"Avx2", 4, [] { return __builtin_cpu_supports("avx2") != 0; }, &avx2::lane_norms,
     &avx2::solve_in_lanes, &avx2::step_rules_in_lanes},
// A build may leave out the sets its processor cannot run.
#if !defined(QUILLET_LANES_AVX512) || QUILLET_LANES_AVX512
    {"Avx512", 8,
     [] {
       return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0;
     },
     &avx512::lane_norms, &avx512::solve_in_lanes, &avx512::step_rules_in_lanes},
#endif
};

inline void PrintTo(const LaneKernels& kernels, std::ostream* out) { *out << kernels.name; }

}  // namespace quillet::solver
#endif
#else
#include "solver/lane_solver.hpp"
#include "solver/lane_vectors.hpp"

namespace quillet::solver::QUILLET_LANE_ISA {

void lane_norms(const double* values, const std::int64_t* counts, std::size_t first,
                std::size_t rows, double* out) {
  Doubles v[kMaxLaneNormRows];
  for (std::size_t i = 0; i < rows; ++i) std::memcpy(&v[i], values + i * kLanes, sizeof v[i]);
  Ints count;
  std::memcpy(&count, counts, sizeof count);
  const Doubles result = norm(v, first, rows, count, splat_int(-1));
  std::memcpy(out, &result, sizeof result);
}

// CurveModel in lanes: each lane evaluates its own problem's curve, sample
// by sample, exactly as CurveModel does. Rows past a lane's samples get NaN,
// which the solver must never read.
class CurveLanes {
 public:
  using Params = std::array<Doubles, 3>;

  CurveLanes() { held_.fill(nullptr); }

  void load(int k, const testing::CurveModel* model) { held_[static_cast<std::size_t>(k)] = model; }

  void evaluate(Mask lanes, const Params& p, Doubles* out, std::size_t rows) {
    for_each_lane(lanes, [&](int k) {
      const testing::CurveModel& model = *held_[static_cast<std::size_t>(k)];
      const std::array<double, 3> b = at(p, k);
      for (std::size_t i = 0; i < rows; ++i) {
        lane(out[i], k) = i < model.y.size() ? model.f(b.data(), model.x[i], 0.0) - model.y[i]
                                             : std::numeric_limits<double>::quiet_NaN();
      }
    });
  }

  void evaluate_with_derivs(Mask lanes, const Params& p, std::array<Doubles*, 3>& columns,
                            std::size_t rows) {
    for_each_lane(lanes, [&](int k) {
      const testing::CurveModel& model = *held_[static_cast<std::size_t>(k)];
      const std::array<double, 3> b = at(p, k);
      for (std::size_t i = 0; i < rows; ++i) {
        std::array<double, 3> grad;
        grad.fill(std::numeric_limits<double>::quiet_NaN());
        if (i < model.y.size()) model.gradient(b.data(), model.x[i], grad.data());
        for (std::size_t c = 0; c < 3; ++c) lane(columns[c][i], k) = grad[c];
      }
    });
  }

 private:
  static std::array<double, 3> at(const Params& p, int k) {
    std::array<double, 3> b;
    for (std::size_t c = 0; c < 3; ++c) b[c] = reinterpret_cast<const double*>(&p[c])[k];
    return b;
  }

  std::array<const testing::CurveModel*, kLanes> held_;
};

void solve_in_lanes(std::span<const LaneCurveProblem> problems, std::span<LaneCurveOutcome> out) {
  std::size_t capacity = 0;
  for (const LaneCurveProblem& p : problems) capacity = std::max(capacity, p.model->y.size());
  CurveLanes model;
  LaneWorkspace<3> work(capacity);
  const auto solver = std::make_unique<LaneSolver<3, CurveLanes> >(model, work);
  std::size_t next = 0;
  std::array<std::size_t, kLanes> held{};
  solver->run(
      [&](int k) -> std::optional<LaneProblem> {
        if (next == problems.size()) return std::nullopt;
        const LaneCurveProblem& p = problems[next];
        held[static_cast<std::size_t>(k)] = next++;
        model.load(k, p.model);
        return LaneProblem{.m = p.model->y.size(),
                           .config = &p.config,
                           .constraints = p.constraints,
                           .xall = p.start};
      },
      [&](int k, const LaneOutcome<3>& o) {
        out[held[static_cast<std::size_t>(k)]] = {o.error,    o.status, o.x,
                                                  o.bestnorm, o.niter,  o.nfev};
      });
}

#include "solver/testing/step_rule_cases.hpp"

void step_rules_in_lanes(const double* reals, const std::int64_t* counts, double* out) {
  std::array<Doubles, kStepRuleReals> in;
  for (std::size_t i = 0; i < in.size(); ++i) std::memcpy(&in[i], reals + i * kLanes, sizeof in[i]);
  std::array<Ints, kStepRuleCounts> c;
  for (std::size_t i = 0; i < c.size(); ++i) std::memcpy(&c[i], counts + i * kLanes, sizeof c[i]);
  std::array<Doubles, kStepRuleOutputs> o;
  apply_step_rules(in.data(), c.data(), o.data(), splat_int(0), splat_int(-1));
  for (std::size_t i = 0; i < o.size(); ++i) std::memcpy(out + i * kLanes, &o[i], sizeof o[i]);
}

}  // namespace quillet::solver::QUILLET_LANE_ISA
#endif
