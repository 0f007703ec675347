// The lanes against the scalar path, bit for bit, on hostile batches: NaN
// and infinite pixels, windows of every sample count from 3 to 521 in one
// batch (so that lanes of very different lengths run side by side), starts
// outside the bounds, optima on the limits, iteration limits, and settings
// that end the solver with each of its eight statuses. A tally made with
// the scalar solver proves that the rows reach every status.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "gaussian/gaussian_residuals.hpp"
#include "gaussian/gaussian_solver_setup.hpp"
#include "solver/solver.hpp"
#include "spectrum/batch_rows.hpp"
#include "spectrum/fit_spectra_batch.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/lane_path.hpp"
#include "testing/example_spectrum_params.hpp"

namespace quillet {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Batch {
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::vector<float> spectra, noise, axis, guides;
  SpectrumFitParams params = example_spectrum_params();

  BatchInput input() const {
    return {.spectra = spectra,
            .dopp_slit =
                std::span<const float>(axis).first(static_cast<std::size_t>(params.sg_xpixels)),
            .spec_noise = noise,
            .guides = guides,
            .rows = rows,
            .columns = columns,
            .params = params};
  }
};

// Deterministic noise in [-1, 1).
double jitter(std::size_t a, std::size_t b) {
  const std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
  return static_cast<double>((h >> 11) % 2000001) / 1000000.0 - 1.0;
}

// `rows` lines on 10 km/s pixels (pixel c at 10 c - 10 columns / 2 km/s),
// with centres, widths, amplitudes and noise levels varying by row, and
// every `kind` of damage taking turns.
Batch line_batch(std::size_t rows, std::size_t columns, SpectrumFitParams params,
                 double roughness = 1.0) {
  Batch b;
  b.rows = rows;
  b.columns = columns;
  params.sg_xpixels = static_cast<std::int64_t>(columns);
  b.params = params;
  b.axis.resize(columns);
  for (std::size_t c = 0; c < columns; ++c) {
    b.axis[c] = 10.0f * static_cast<float>(c) - 5.0f * static_cast<float>(columns);
  }
  b.spectra.resize(rows * columns);
  b.noise.resize(rows * columns);
  b.guides.resize(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const double centre = 60.0 * jitter(r, 1);
    const double width = 8.0 + 30.0 * (jitter(r, 2) + 1.0);
    const double amplitude = 0.5 + 3.0 * (jitter(r, 3) + 1.0);
    const double level = 0.02 + 0.2 * (jitter(r, 4) + 1.0);
    b.guides[r] = static_cast<float>(centre + 5.0 * jitter(r, 5));
    for (std::size_t c = 0; c < columns; ++c) {
      const double z = (b.axis[c] - centre) / width;
      b.spectra[r * columns + c] = static_cast<float>(amplitude * std::exp(-0.5 * z * z) +
                                                      roughness * level * jitter(r, 100 + c));
      b.noise[r * columns + c] = static_cast<float>(level);
    }
    float* const flux = &b.spectra[r * columns];
    float* const noise = &b.noise[r * columns];
    const std::size_t mid = columns / 2 + static_cast<std::size_t>(centre / 10.0);
    switch (r % 8) {
      case 1:
        flux[mid + 1] = kNaN;
        break;
      case 2:
        noise[mid - 1] = kInf;
        flux[mid + 2] = -kInf;
        break;
      case 3:
        noise[mid + 1] = 0.0f;
        noise[mid - 2] = -1.0f;
        break;
      case 4:
        b.guides[r] = kNaN;
        break;
      case 5:
        flux[mid] = kInf;
        break;
      case 6:
        // A flat, noiseless top: the fit meets its data exactly.
        for (std::size_t c = 0; c < columns; ++c) flux[c] = 1.0f;
        break;
      default:
        break;
    }
  }
  return b;
}

// Every path this build and processor runs, the scalar one first.
std::vector<RowPath> paths_here() {
  std::vector<RowPath> paths{RowPath::Scalar};
  for (RowPath p : {RowPath::Avx2, RowPath::Avx512}) {
    if (row_path_runs_here(p)) paths.push_back(p);
  }
  return paths;
}

void expect_same_bits_on_every_path(const Batch& b, const std::string& what) {
  const BatchInput input = b.input();
  BatchOutput reference = allocate_batch_output(b.rows);
  fit_batch_rows(input, reference, RowPath::Scalar);
  for (RowPath path : paths_here()) {
    BatchOutput out = allocate_batch_output(b.rows);
    fit_batch_rows(input, out, path);
    for (std::size_t r = 0; r < b.rows; ++r) {
      ASSERT_EQ(std::memcmp(&reference.fits[8 * r], &out.fits[8 * r], 8 * sizeof(float)), 0)
          << what << ", path " << static_cast<int>(path) << ", row " << r;
      ASSERT_EQ(reference.windows[2 * r], out.windows[2 * r]) << what << ", row " << r;
      ASSERT_EQ(reference.windows[2 * r + 1], out.windows[2 * r + 1]) << what << ", row " << r;
    }
  }
}

// The statuses (and refusals) the scalar solver ends the batch's fits with.
std::set<int> scalar_statuses(const Batch& b) {
  const BatchInput input = b.input();
  const AxisOrder order = axis_order(input.dopp_slit);
  std::set<int> seen;
  for (std::size_t r = 0; r < b.rows; ++r) {
    SampleBuffers samples;
    const auto prepared = prepare_window_fit(
        row_spectrum(input, r), input.dopp_slit, row_noise(input, r), input.guides[r], input.params,
        window_search_run(input.dopp_slit, input.guides[r], input.params, order), samples);
    const auto* window = std::get_if<WindowProblem>(&prepared);
    if (window == nullptr) continue;
    std::optional<GaussianSolverSetup> setup = gaussian_solver_setup(window->problem);
    if (!setup) continue;
    GaussianResiduals model(window->problem.x, window->problem.y, window->problem.error);
    const auto run = solver::solve(model, setup->config, setup->constraints, setup->start);
    seen.insert(run ? static_cast<int>(run->status) : -1 - static_cast<int>(run.error()));
  }
  return seen;
}

struct Settings {
  const char* name;
  std::size_t rows;
  std::size_t columns;
  SpectrumFitParams (*make)();
  double roughness = 1.0;  // of the data about its line, in noise levels
};

SpectrumFitParams with(std::int32_t npix, float xtol, float ftol, float gtol,
                       std::int64_t max_iter) {
  SpectrumFitParams p = example_spectrum_params();
  p.npix = npix;
  p.tolerances = {.xtol = xtol, .ftol = ftol, .gtol = gtol, .max_iter = max_iter};
  return p;
}

const Settings kSettings[] = {
    {"Defaults", 400, 160, [] { return with(3, 1e-6f, 1e-6f, 1e-6f, 2000); }},
    {"WideWindows", 200, 160, [] { return with(20, 1e-6f, 1e-6f, 1e-6f, 2000); }},
    {"OneIteration", 200, 160, [] { return with(5, 1e-6f, 1e-6f, 1e-6f, 1); }},
    {"ThreeIterations", 200, 160, [] { return with(5, 1e-6f, 1e-6f, 1e-6f, 3); }},
    {"TinyTolerances", 300, 160,
     [] { return with(6, 1e-30f, 1e-30f, 1e-30f, 2000); }},  // ftol, xtol, gtol too small
    {"TinyTolerancesFewIterations", 300, 160, [] { return with(6, 1e-30f, 1e-30f, 1e-30f, 40); }},
    // Lines under noise thirty times their level, fitted to the last bit:
    // the gradient test falls to rounding level (gtol too small).
    {"TinyTolerancesRoughData", 300, 160, [] { return with(3, 1e-37f, 1e-37f, 1e-37f, 2000); },
     30.0},
    {"LooseFtol", 200, 160, [] { return with(4, 1e-30f, 0.5f, 1e-30f, 2000); }},
    {"LooseXtol", 200, 160, [] { return with(4, 0.5f, 1e-30f, 1e-30f, 2000); }},
    {"LooseFtolAndXtol", 200, 160, [] { return with(4, 0.5f, 0.5f, 1e-30f, 2000); }},
    {"LooseGtol", 200, 160, [] { return with(4, 1e-6f, 1e-6f, 0.9f, 2000); }},
    {"StartsOutsideAndOptimaOnLimits", 300, 160,
     [] {
       SpectrumFitParams p = with(6, 1e-6f, 1e-6f, 1e-6f, 2000);
       p.amplitude_rel_min = 1.2f;  // the start 1.0 lies below it
       p.amplitude_rel_max = 1.5f;
       p.width_min = 9.0f;
       p.width_max = 14.0f;
       p.width_guess = 300.0f;  // above width_max
       return p;
     }},
};

class LanesAgainstScalar : public testing::TestWithParam<Settings> {};

TEST_P(LanesAgainstScalar, EveryRowHasTheSameBits) {
  const Settings s = GetParam();
  expect_same_bits_on_every_path(line_batch(s.rows, s.columns, s.make(), s.roughness), s.name);
}

INSTANTIATE_TEST_SUITE_P(Hostile, LanesAgainstScalar, testing::ValuesIn(kSettings),
                         [](const testing::TestParamInfo<Settings>& param) {
                           return std::string(param.param.name);
                         });

// One batch whose windows keep every sample count from 3 to 521: row r
// loses all but 3 + r of its 521 window pixels to NaN noise, and its
// neighbours in the lanes have other counts.
TEST(LanesAgainstScalar, WindowsOfEverySampleCountSideBySide) {
  constexpr std::size_t kWindow = 521;
  Batch b = line_batch(kWindow - 2, 700, with(260, 1e-6f, 1e-6f, 1e-6f, 2000));
  for (std::size_t r = 0; r < b.rows; ++r) {
    b.guides[r] = 0.0f;
    float* const flux = &b.spectra[r * b.columns];
    float* const noise = &b.noise[r * b.columns];
    for (std::size_t c = 0; c < b.columns; ++c) {
      const double z = b.axis[c] / 40.0;
      flux[c] = static_cast<float>(2.0 * std::exp(-0.5 * z * z) + 0.05 * jitter(r, c));
      noise[c] = 0.05f;
    }
    flux[350] = 3.0f;  // the peak: window [90, 611)
    const std::size_t keep = 3 + r;
    for (std::size_t c = 90; c < 90 + (kWindow - keep); ++c) noise[c] = kNaN;
  }
  expect_same_bits_on_every_path(b, "every sample count");
}

// The batches above end the solver with every one of its statuses.
TEST(LanesAgainstScalar, TheHostileBatchesReachEverySolverStatus) {
  std::set<int> seen;
  for (const Settings& s : kSettings) {
    const std::set<int> more =
        scalar_statuses(line_batch(s.rows, s.columns, s.make(), s.roughness));
    seen.insert(more.begin(), more.end());
  }
  for (int status = 1; status <= 8; ++status) EXPECT_TRUE(seen.contains(status)) << status;
}

}  // namespace
}  // namespace quillet
