// quillet_floor DIR: the floor under the batch's row fits, measured on the
// survey rows that quillet_time_fits times.
//
// The floor of one fit is (model evaluations) x (samples) x (cost of one
// double exp): a model that did nothing but its exponentials would take that
// long. Two link-time wrappers let this program see inside the real row fits
// without touching the library:
//
// - `--wrap` of the fit core (quillet::fit_bounded_gaussian) hands this
//   program every problem the spectrum fit builds. Each is fitted for real,
//   then solved once more with the same setup through a counting wrapper
//   round GaussianResiduals, which counts the model evaluations; the second
//   solve must land on the same bits, or the program stops.
// - `--wrap=exp` keeps the argument of every exp the real fits call, and the
//   platform exp is then timed alone on exactly those arguments.
//
// Prints one JSON object; nanoseconds throughout.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "bench_inputs.hpp"
#include "gaussian/fit_bounded_gaussian.hpp"
#include "gaussian/gaussian_residuals.hpp"
#include "gaussian/gaussian_solver_setup.hpp"
#include "solver/solver.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/peak_search.hpp"

namespace quillet::bench {
namespace {

// What the wrappers note; the program runs on one thread.
struct Tally {
  std::vector<double> exp_arguments;
  bool recording_exp = false;
  std::size_t fits = 0;
  std::size_t evaluations = 0;
  std::size_t evaluation_samples = 0;  // sum over fits of evaluations x samples
  std::size_t samples = 0;
};
Tally g_tally;

// GaussianResiduals, counting every evaluation the solver asks for.
class CountingResiduals {
 public:
  explicit CountingResiduals(const BoundedGaussianProblem& p) : inner_(p.x, p.y, p.error) {}
  std::size_t residual_count() const { return inner_.residual_count(); }
  void evaluate(std::span<const double> params, std::span<double> out) {
    ++calls_;
    inner_.evaluate(params, out);
  }
  void evaluate_with_derivs(std::span<const double> params, std::span<double> out,
                            std::span<const std::span<double>> derivs) {
    ++calls_;
    inner_.evaluate_with_derivs(params, out, derivs);
  }
  std::size_t calls() const { return calls_; }

 private:
  GaussianResiduals inner_;
  std::size_t calls_ = 0;
};

// The evaluations the solver makes for `problem`, checked against `fit`.
std::size_t count_evaluations(const BoundedGaussianProblem& problem,
                              const std::optional<GaussianFit>& fit) {
  std::optional<GaussianSolverSetup> setup = gaussian_solver_setup(problem);
  if (!setup) return 0;
  CountingResiduals model(problem);
  const auto run = solver::solve(model, setup->config, setup->constraints, setup->start);
  const bool same = !fit || (static_cast<float>(setup->start[0]) == fit->amplitude &&
                             static_cast<float>(setup->start[1]) == fit->centre &&
                             static_cast<float>(setup->start[2]) == fit->sigma && run);
  if (!same) {
    std::fprintf(stderr, "quillet_floor: the counting solve left the fit's path\n");
    std::exit(3);
  }
  return model.calls();
}

}  // namespace
}  // namespace quillet::bench

// The wrapped symbols. The fit core's name is its mangled one; should its
// signature change, the link fails rather than measure nothing.
extern "C" double __real_exp(double x);
extern "C" std::optional<quillet::GaussianFit>
__real__ZN7quillet20fit_bounded_gaussianERKNS_22BoundedGaussianProblemE(
    const quillet::BoundedGaussianProblem& problem);

extern "C" double __wrap_exp(double x) {
  if (quillet::bench::g_tally.recording_exp) quillet::bench::g_tally.exp_arguments.push_back(x);
  return __real_exp(x);
}

extern "C" std::optional<quillet::GaussianFit>
__wrap__ZN7quillet20fit_bounded_gaussianERKNS_22BoundedGaussianProblemE(
    const quillet::BoundedGaussianProblem& problem) {
  using quillet::bench::g_tally;
  g_tally.recording_exp = true;
  std::optional<quillet::GaussianFit> fit =
      __real__ZN7quillet20fit_bounded_gaussianERKNS_22BoundedGaussianProblemE(problem);
  g_tally.recording_exp = false;
  const std::size_t evaluations = quillet::bench::count_evaluations(problem, fit);
  g_tally.fits += 1;
  g_tally.evaluations += evaluations;
  g_tally.evaluation_samples += evaluations * problem.x.size();
  g_tally.samples += problem.x.size();
  return fit;
}

int main(int argc, char** argv) {
  using namespace quillet;
  using namespace quillet::bench;
  const SurveyInput s = survey_from_arguments(argc, argv, 1, "INPUT_DIR");
  const AxisOrder order = axis_order(s.axis);
  g_tally.exp_arguments.reserve(s.rows * 400);
  for (std::size_t i = 0; i < s.rows; ++i) {
    const SpectrumFitOutcome outcome = fit_spectrum_window(
        s.row(s.spectra, i), s.axis, s.row(s.noise, i), s.guides[i], s.params, order);
    keep(outcome.result.values[7]);
  }
  if (g_tally.fits == 0) {
    std::fprintf(stderr, "quillet_floor: no fit reached the wrapped fit core\n");
    return 3;
  }

  const std::vector<double>& arguments = g_tally.exp_arguments;
  const double exp_ns = best_ns_per_item(arguments.size(), 7, [&] {
    double sum = 0.0;
    for (const double x : arguments) sum += __real_exp(x);
    keep(static_cast<float>(sum));
  });

  const auto fits = static_cast<double>(g_tally.fits);
  const double floor_ns = static_cast<double>(g_tally.evaluation_samples) * exp_ns;
  std::printf("{\n");
  std::printf("  \"rows\": %zu,\n", s.rows);
  std::printf("  \"fits\": %zu,\n", g_tally.fits);
  std::printf("  \"evaluations_per_fit\": %.3f,\n",
              static_cast<double>(g_tally.evaluations) / fits);
  std::printf("  \"samples_per_fit\": %.3f,\n", static_cast<double>(g_tally.samples) / fits);
  std::printf("  \"exp_calls_per_fit\": %.3f,\n", static_cast<double>(arguments.size()) / fits);
  std::printf("  \"exp_ns\": %.3f,\n", exp_ns);
  std::printf("  \"floor_ns_per_fit\": %.2f,\n", floor_ns / fits);
  std::printf("  \"floor_ns_per_row\": %.2f\n", floor_ns / static_cast<double>(s.rows));
  std::printf("}\n");
  return 0;
}
