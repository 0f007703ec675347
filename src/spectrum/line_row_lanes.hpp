// Line-batch rows in lanes: each lane holds one row's fit, all run by one
// LaneSolver over the row's free parameters, and a lane whose fit ends
// writes its row and takes the next row its participant claims. The row's
// samples, its solver start and its outcome are the scalar path's own
// (collect_line_row, line_solver_start, converged_line_fit, write_line_row);
// only the solver's iteration runs in lanes, and the errors come from its
// last factorisation exactly as `solve` forms them.
//
// Included only by the translation units that chose an instruction set
// (row_lanes_avx2.cpp, row_lanes_avx512.cpp), after
// row_lanes_includes.hpp and their target pragma.
#pragma once
#include "lines/line_lanes.hpp"
#include "solver/lane_solver.hpp"

namespace quillet::QUILLET_LANE_ISA {

// One participant's lanes for a model of N free parameters: the model's and
// the solver's storage for windows up to the batch's longest (at most
// kMaxLaneSamples), the samples of the row being prepared, and what each
// lane's row needs once its fit ends.
template <int N>
struct LineRowLanes {
  LineRowLanes(const lines::LineLayout& layout, std::size_t capacity)
      : model(layout, capacity), work(capacity) {}

  struct Held {
    std::size_t row = 0;
    float scale = 1.0f;
    std::size_t samples = 0;
    lines::LineSolverStart start{};
    std::array<solver::ParamConstraint, N> constraints{};
    std::array<double, N> x{};
  };

  lines::QUILLET_LANE_ISA::LineLanes<N> model;
  solver::QUILLET_LANE_ISA::LaneWorkspace<N> work;
  SampleBuffers samples;
  std::array<Held, solver::QUILLET_LANE_ISA::kLanes> held{};
};

template <int N>
void fit_line_rows_with(const LinesBatchInput& input, LinesBatchOutput& output,
                        WorkerPool::Claims& claims) {
  using solver::QUILLET_LANE_ISA::LaneOutcome;
  using solver::QUILLET_LANE_ISA::LaneProblem;
  const lines::LineLayout layout(input.model);
  const solver::SolverConfig config = fit_solver_config(input.tolerances, /*covariance=*/true);
  const std::size_t capacity = std::min(input.longest_window, kMaxLaneSamples);
  // Heap, not stack: the caller's share of the rows runs on the calling
  // Python thread, whose stack may be small.
  const auto lanes = std::make_unique<LineRowLanes<N>>(layout, capacity);
  lanes->samples.make_room(input.longest_window);
  // Windows longer than the lanes hold are fitted one by one, here.
  std::optional<lines::LineFitter> scalar;
  if (input.longest_window > capacity)
    scalar.emplace(layout, input.tolerances, input.longest_window);
  solver::QUILLET_LANE_ISA::LaneSolver<N, lines::QUILLET_LANE_ISA::LineLanes<N>> solver(
      lanes->model, lanes->work);

  const auto next = [&](int k) -> std::optional<LaneProblem> {
    SampleBuffers& samples = lanes->samples;
    while (const std::optional<std::size_t> claimed = claims.next()) {
      const std::size_t i = *claimed;
      const LineRow row = collect_line_row(input, i, samples);
      if (row.window > capacity) {
        write_line_row(input, output, i, row.scale,
                       scalar->fit(samples.x(), samples.y(), samples.e(), row.start));
        continue;
      }
      const std::size_t m = samples.x().size();
      if (const std::optional<lines::LineFit> early = lines::line_fit_before_solving(layout, m)) {
        write_line_row(input, output, i, row.scale, *early);
        continue;
      }
      typename LineRowLanes<N>::Held& held = lanes->held[static_cast<std::size_t>(k)];
      held.row = i;
      held.scale = row.scale;
      held.samples = m;
      held.start = lines::line_solver_start(layout, row.start);
      lines::free_solver_problem(layout, row.start, held.start, held.constraints, held.x);
      lanes->model.load(k, samples.x(), samples.y(), samples.e(), held.start.values);
      return LaneProblem{
          .m = m, .config = &config, .constraints = held.constraints, .xall = held.x};
    }
    return std::nullopt;
  };

  const auto done = [&](int k, const LaneOutcome<N>& outcome) {
    const typename LineRowLanes<N>::Held& held = lanes->held[static_cast<std::size_t>(k)];
    if (outcome.error || !counts_as_converged(outcome.status)) {
      write_line_row(input, output, held.row, held.scale,
                     lines::unconverged_line_fit(layout, held.samples));
      return;
    }
    write_line_row(input, output, held.row, held.scale,
                   lines::line_fit_from_factor(layout, config.covtol, held.start, outcome.x,
                                               std::span<const double>(outcome.r[0].data(), N * N),
                                               outcome.ipvt, outcome.bestnorm, held.samples));
  };

  solver.run(next, done);
}

// The body of this instruction set's fit_line_rows_in_lanes
// (row_lanes_entries.hpp): the lanes for the model's count of free
// parameters, 1 to kMaxLineLaneParams.
template <int... Counts>
void fit_line_rows_by_count(const LinesBatchInput& input, LinesBatchOutput& output,
                            WorkerPool::Claims& claims, std::integer_sequence<int, Counts...>) {
  const std::size_t nfree = lines::LineLayout(input.model).free_count();
  const bool ran = ((nfree == static_cast<std::size_t>(Counts + 1)
                         ? (fit_line_rows_with<Counts + 1>(input, output, claims), true)
                         : false) ||
                    ...);
  if (!ran) throw std::logic_error("a line model with too many free parameters for the lanes");
}

inline void fit_line_rows_in_lane_set(const LinesBatchInput& input, LinesBatchOutput& output,
                                      WorkerPool::Claims& claims) {
  fit_line_rows_by_count(input, output, claims,
                         std::make_integer_sequence<int, kMaxLineLaneParams>{});
}

}  // namespace quillet::QUILLET_LANE_ISA
