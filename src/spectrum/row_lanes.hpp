// Batch rows in lanes: each lane holds one row's window fit, all run by one
// LaneSolver, and a lane whose fit ends writes its row and takes the next
// row its participant claims. Peak search, window and samples are the
// scalar path's own (prepare_window_fit), and so is the outcome
// (window_fit_outcome); only the bounded fit runs in lanes.
//
// Included only by the translation units that chose an instruction set
// (row_lanes_avx2.cpp, row_lanes_avx512.cpp), after row_lanes_includes.hpp
// and their target pragma; each defines its set's entry (row_lanes_entries.hpp)
// from fit_rows_in_lane_set.
#pragma once
#include "gaussian/gaussian_lanes.hpp"
#include "solver/lane_solver.hpp"

namespace quillet::QUILLET_LANE_ISA {

// One participant's lanes: the model's and the solver's storage for windows
// up to the batch's longest, the samples of the window being prepared, and
// what each lane's row needs once its fit ends.
struct RowLanes {
  explicit RowLanes(std::size_t capacity) : model(capacity), work(capacity) {}

  struct Held {
    std::size_t row = 0;
    float best = 0.0f;
    Window window{};
    std::size_t samples = 0;
    GaussianSolverSetup setup{};
  };

  GaussianLanes model;
  solver::QUILLET_LANE_ISA::LaneWorkspace<3> work;
  SampleBuffers samples;
  std::array<Held, kLanes> held{};
};

// The body of this instruction set's fit_rows_in_lanes (row_lanes_entries.hpp),
// which its translation unit defines. Inline, like everything in a header;
// its namespace keeps it apart from the other sets' copies.
inline void fit_rows_in_lane_set(const BatchInput& input, AxisOrder order, BatchOutput& output,
                                 WorkerPool::Claims& claims) {
  using solver::QUILLET_LANE_ISA::LaneOutcome;
  using solver::QUILLET_LANE_ISA::LaneProblem;
  // Heap, not stack: the caller's share of the rows runs on the calling
  // Python thread, whose stack may be small.
  const auto lanes = std::make_unique<RowLanes>(window_capacity(input.params));
  solver::QUILLET_LANE_ISA::LaneSolver<3, GaussianLanes> solver(lanes->model, lanes->work);

  RowClaims rows(input, order, claims);
  const auto next = [&](int k) -> std::optional<LaneProblem> {
    while (const std::optional<RowClaims::Row> row = rows.next()) {
      const std::size_t i = row->index;
      inject_row_fault(i);
      const auto prepared =
          prepare_window_fit(row_spectrum(input, i), input.dopp_slit, row_noise(input, i),
                             input.guides[i], input.params, row->search, lanes->samples);
      if (const auto* outcome = std::get_if<SpectrumFitOutcome>(&prepared)) {
        write_row(output, i, *outcome);
        continue;
      }
      const WindowProblem& window = std::get<WindowProblem>(prepared);
      const std::size_t samples = window.problem.x.size();
      std::optional<GaussianSolverSetup> setup = gaussian_solver_setup(window.problem);
      if (!setup) {
        write_row(output, i, window_fit_outcome(window.best, window.window, samples, std::nullopt));
        continue;
      }
      RowLanes::Held& held = lanes->held[static_cast<std::size_t>(k)];
      held = {.row = i,
              .best = window.best,
              .window = window.window,
              .samples = samples,
              .setup = *setup};
      lanes->model.load(k, window.problem.x, window.problem.y, window.problem.error);
      return LaneProblem{.m = samples,
                         .config = &held.setup.config,
                         .constraints = held.setup.constraints,
                         .xall = held.setup.start};
    }
    return std::nullopt;
  };

  const auto done = [&](int k, const LaneOutcome<3>& outcome) {
    const RowLanes::Held& held = lanes->held[static_cast<std::size_t>(k)];
    std::optional<GaussianFit> fit;
    if (!outcome.error && counts_as_converged(outcome.status)) {
      const std::array<float, 3> errors =
          lanes->model.uncertainties(k, outcome.x, outcome.bestnorm);
      fit = gaussian_fit(outcome.x, errors, outcome.bestnorm);
    }
    write_row(output, held.row, window_fit_outcome(held.best, held.window, held.samples, fit));
  };

  solver.run(next, done);
}

}  // namespace quillet::QUILLET_LANE_ISA
