// quillet_time_fits DIR: times, on one thread and without Python, the work
// that the driver also times from Python, and prints one JSON object of
// nanoseconds per item (best of several runs).
//
//   window_batch_order   fit_spectrum_window per survey row, as a batch row
//                        job runs it (peak search limited by the axis order)
//   window_full_scan     the same with the full peak search of a single call
//   peak_batch_order     the peak search alone, as a batch row runs it,
//                        each row read from memory
//   peak_full_scan       the peak search alone, full scan, from memory
//   peak_*_cached        the same on rows already in cache
//   single_spectrum_body the body of fit_single_spectrum (checks included)
//   single_spectrum_body_no_line  the same with NaN guides: checks and an
//                        empty peak search only
//   gaussian_f32_body    the body of fit_gaussian_f32 on 21-sample windows
#include <algorithm>
#include <cstdio>
#include <limits>
#include <span>

#include "bench_inputs.hpp"
#include "gaussian/fit_gaussian_f32.hpp"
#include "spectrum/fit_single_spectrum.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/peak_search.hpp"

namespace quillet::bench {
namespace {

constexpr int kRepeats = 7;

double time_windows(const SurveyInput& s, AxisOrder order) {
  return best_ns_per_item(s.rows, kRepeats, [&] {
    for (std::size_t i = 0; i < s.rows; ++i) {
      const SpectrumFitOutcome outcome = fit_spectrum_window(
          s.row(s.spectra, i), s.axis, s.row(s.noise, i), s.guides[i], s.params, order);
      keep(outcome.result.values[7]);
    }
  });
}

// The peak search over the first `rows` rows, `passes` times over. A few
// hundred rows stay in cache from one pass to the next, as a batch row's
// stretch does once the row job before it has prefetched it; all rows,
// once, stream from memory.
double time_peaks(const SurveyInput& s, AxisOrder order, std::size_t rows, int passes) {
  // The radius as fit_spectrum_window forms it.
  const float radius =
      static_cast<float>(s.params.npix_slack) * s.params.dv + s.params.velocity_range;
  return best_ns_per_item(rows * static_cast<std::size_t>(passes), kRepeats, [&] {
    for (int pass = 0; pass < passes; ++pass) {
      for (std::size_t i = 0; i < rows; ++i) {
        const auto peak = find_peak(s.row(s.spectra, i), s.axis, s.guides[i], radius, order);
        keep(peak ? peak->value : 0.0f);
      }
    }
  });
}

// With `no_line`, every guide is NaN: the body then does its checks and a
// peak search that finds nothing, which leaves the cost of the call itself
// standing out against the same calls made from Python.
double time_single_bodies(const SurveyInput& s, std::size_t rows, bool no_line) {
  const ArrayView axis = view_of(s.axis);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  return best_ns_per_item(rows, kRepeats, [&] {
    for (std::size_t i = 0; i < rows; ++i) {
      const auto outcome =
          fit_single_spectrum(view_of(s.row(s.spectra, i)), axis, view_of(s.row(s.noise, i)),
                              no_line ? nan : s.guides[i], s.params);
      keep(outcome ? outcome->result.values[7] : -1.0f);
    }
  });
}

double time_gaussian_bodies(const GaussianWindows& w) {
  return best_ns_per_item(w.count, kRepeats, [&] {
    for (std::size_t k = 0; k < w.count; ++k) {
      const auto cut = [&](const std::vector<float>& v) {
        return view_of(std::span<const float>(v).subspan(k * w.samples, w.samples));
      };
      const std::span<const float> start = std::span<const float>(w.start).subspan(k * 9, 9);
      const auto result =
          fit_gaussian_f32(cut(w.x), cut(w.y), cut(w.error), view_of(start.subspan(0, 3)),
                           view_of(start.subspan(3, 3)), view_of(start.subspan(6, 3)), w.tolerance,
                           w.tolerance, w.tolerance, w.max_iter);
      keep(result ? result->values[7] : -1.0f);
    }
  });
}

}  // namespace
}  // namespace quillet::bench

int main(int argc, char** argv) {
  using namespace quillet;
  using namespace quillet::bench;
  const SurveyInput survey = survey_from_arguments(argc, argv, 2, "INPUT_DIR SINGLE_ROWS");
  const GaussianWindows windows = read_gaussian_windows(argv[1]);
  const std::size_t single_rows = std::stoul(argv[2]);
  const AxisOrder order = axis_order(survey.axis);

  std::printf("{\n");
  std::printf("  \"rows\": %zu,\n", survey.rows);
  std::printf("  \"window_batch_order\": %.2f,\n", time_windows(survey, order));
  std::printf("  \"window_full_scan\": %.2f,\n", time_windows(survey, AxisOrder::Unsorted));
  const std::size_t cached_rows = std::min<std::size_t>(survey.rows, 200);
  std::printf("  \"peak_batch_order\": %.2f,\n", time_peaks(survey, order, survey.rows, 1));
  std::printf("  \"peak_full_scan\": %.2f,\n",
              time_peaks(survey, AxisOrder::Unsorted, survey.rows, 1));
  std::printf("  \"peak_batch_order_cached\": %.2f,\n", time_peaks(survey, order, cached_rows, 50));
  std::printf("  \"peak_full_scan_cached\": %.2f,\n",
              time_peaks(survey, AxisOrder::Unsorted, cached_rows, 50));
  std::printf("  \"single_spectrum_body\": %.2f,\n",
              time_single_bodies(survey, single_rows, false));
  std::printf("  \"single_spectrum_body_no_line\": %.2f,\n",
              time_single_bodies(survey, single_rows, true));
  std::printf("  \"gaussian_f32_body\": %.2f\n", time_gaussian_bodies(windows));
  std::printf("}\n");
  return 0;
}
