// The work both C++ benchmark programs measure, as the driver
// (run_benchmarks.py) writes it: the survey rows and the 21-sample windows
// that the Python side times too, so that the two sides time the same calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <span>
#include <vector>

#include "gaussian/array_view.hpp"
#include "spectrum/spectrum_fit_params.hpp"

namespace quillet::bench {

struct SurveyInput {
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::vector<float> spectra;  // rows x columns
  std::vector<float> noise;    // rows x columns
  std::vector<float> axis;     // columns
  std::vector<float> guides;   // rows
  SpectrumFitParams params{};

  std::span<const float> row(const std::vector<float>& plane, std::size_t i) const {
    return std::span<const float>(plane).subspan(i * columns,
                                                 static_cast<std::size_t>(params.sg_xpixels));
  }
};

// fit_gaussian_f32 problems: `count` windows of `samples` points each, and
// per window nine floats: initial, lower bounds, upper bounds.
struct GaussianWindows {
  std::size_t count = 0;
  std::size_t samples = 0;
  std::vector<float> x, y, error, start;
  float tolerance = 1e-6f;
  std::int64_t max_iter = 2000;
};

// The survey named by the program's first argument, after checking that it
// was given `arguments` arguments in all (usage goes to stderr otherwise).
SurveyInput survey_from_arguments(int argc, char** argv, int arguments, const char* usage);

// Reads `dir`/meta.txt (one "key value" per line) and the raw native-endian
// float32 files beside it. Exits the process with a message on bad input.
SurveyInput read_survey(const std::filesystem::path& dir);
GaussianWindows read_gaussian_windows(const std::filesystem::path& dir);

// A 1-D view of `data` as the binding layer would hand it to a body.
ArrayView view_of(std::span<const float> data);

// Smallest time per item, in nanoseconds, over `repeats` runs of `run_all`,
// which does `items` items of work per run.
template <class Work>
double best_ns_per_item(std::size_t items, int repeats, Work&& run_all) {
  double best = 0.0;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run_all();
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    const double per_item = took.count() / static_cast<double>(items);
    if (r == 0 || per_item < best) best = per_item;
  }
  return best;
}

// Keeps a computed value alive so that the work producing it is not elided.
void keep(float value);

}  // namespace quillet::bench
