// Where a row's fit touches the heap. On the scalar path the window's
// samples sit in stack buffers up to 512 pixels, and the solver's storage is
// lent from the fit core's 8 KiB stack workspace, which covers windows of
// up to about 150 samples (fits also run on 32 KiB thread stacks); a longer
// window's solver storage is one allocation per fit. In lanes, a batch
// allocates each participant's storage once and no row allocates at all;
// so does the line batch on every path.
// Allocations are counted by the replaced global operator new.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "solver/testing/allocation_counter.hpp"
#include "solver/testing/case_names.hpp"
#include "spectrum/fit_lines_batch.hpp"
#include "spectrum/fit_spectra_batch.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/lane_path.hpp"
#include "spectrum/peak_search.hpp"
#include "spectrum/worker_pool.hpp"
#include "testing/example_spectrum_params.hpp"

namespace quillet {
namespace {

struct Row {
  std::vector<float> flux, velocity, noise;
};

// A clean line at 4 km/s on 10 km/s pixels, the middle pixel at 0 km/s.
Row line_row(std::size_t n) {
  Row r{std::vector<float>(n), std::vector<float>(n), std::vector<float>(n, 0.05f)};
  for (std::size_t i = 0; i < n; ++i) {
    r.velocity[i] = 10.0f * (static_cast<float>(i) - static_cast<float>(n / 2));
    const double z = (r.velocity[i] - 4.0) / 25.0;
    r.flux[i] = static_cast<float>(3.0 * std::exp(-0.5 * z * z) +
                                   0.01 * std::sin(1.3 * static_cast<double>(i)));
  }
  return r;
}

struct AllocationCase {
  std::int32_t npix;
  std::size_t pixels;
  std::size_t allocations;  // one for the solver beyond ~150 samples, one more beyond 512
};

class RowFitAllocations : public testing::TestWithParam<AllocationCase> {};

TEST_P(RowFitAllocations, OnlyLongWindowsTouchTheHeap) {
  const AllocationCase c = GetParam();
  const Row r = line_row(c.pixels);
  SpectrumFitParams params = example_spectrum_params();
  params.npix = c.npix;
  params.sg_xpixels = static_cast<std::int64_t>(c.pixels);
  const AxisOrder order = axis_order(r.velocity);
  const std::size_t before = test_support::allocations();
  const SpectrumFitOutcome outcome =
      fit_spectrum_window(r.flux, r.velocity, r.noise, 0.0f, params, order);
  const std::size_t allocations = test_support::allocations() - before;
  EXPECT_EQ(outcome.result.values[7], kFlagSuccess);
  EXPECT_EQ(allocations, c.allocations);
}

INSTANTIATE_TEST_SUITE_P(Windows, RowFitAllocations,
                         testing::Values(AllocationCase{3, 100, 0}, AllocationCase{10, 100, 0},
                                         AllocationCase{40, 100, 0},
                                         // 151 samples: the stack workspace still holds them
                                         AllocationCase{75, 400, 0},
                                         // 201 samples: the solver's block
                                         AllocationCase{100, 400, 1},
                                         // 601 pixels: the samples' heap block too
                                         AllocationCase{300, 700, 2}),
                         [](const auto& param_info) {
                           const auto& c = param_info.param;
                           return test_support::case_name(
                               param_info.index,
                               test_support::label_of("npix", c.npix, "pixels", c.pixels));
                         });

// In lanes the rows of a batch allocate nothing: a batch of ten times the
// rows, with windows of 201 samples, makes exactly as many allocations
// (each participant's storage, once). The scalar path makes one per row.
TEST(BatchAllocations, InLanesDoNotGrowWithTheRows) {
  const Row r = line_row(400);
  SpectrumFitParams params = example_spectrum_params();
  params.npix = 100;
  params.sg_xpixels = 400;
  const auto allocations_for = [&](std::size_t rows, RowPath path) {
    std::vector<float> spectra, noise;
    for (std::size_t i = 0; i < rows; ++i) {
      spectra.insert(spectra.end(), r.flux.begin(), r.flux.end());
      noise.insert(noise.end(), r.noise.begin(), r.noise.end());
    }
    const std::vector<float> guides(rows, 0.0f);
    const BatchInput input{.spectra = spectra,
                           .dopp_slit = r.velocity,
                           .spec_noise = noise,
                           .guides = guides,
                           .rows = rows,
                           .columns = 400,
                           .params = params};
    BatchOutput output = allocate_batch_output(rows);
    const std::size_t before = test_support::allocations();
    fit_batch_rows(input, output, path);
    const std::size_t made = test_support::allocations() - before;
    for (std::size_t i = 0; i < rows; ++i) EXPECT_EQ(output.fits[8 * i + 7], kFlagSuccess);
    return made;
  };
  allocations_for(2, RowPath::Scalar);  // the process's pool is made once, here
  for (const RowPath path : {RowPath::Avx2, RowPath::Avx512}) {
    if (!row_path_runs_here(path)) continue;
    EXPECT_EQ(allocations_for(16, path), allocations_for(160, path)) << static_cast<int>(path);
  }
  EXPECT_EQ(allocations_for(160, RowPath::Scalar) - allocations_for(16, RowPath::Scalar), 144u);
}

// The line batch's rows allocate nothing either, on any path: two lines on
// a constant over 300 samples, 16 rows and 160 rows, as many allocations.
TEST(LineBatchAllocations, DoNotGrowWithTheRows) {
  constexpr std::size_t kColumns = 300;
  const Row r = line_row(kColumns);
  WorkerPool pool(2);
  const auto allocations_for = [&](std::size_t rows, RowPath path) {
    std::vector<float> spectra, noise, initial, lower, upper;
    std::vector<std::int32_t> windows;
    for (std::size_t i = 0; i < rows; ++i) {
      spectra.insert(spectra.end(), r.flux.begin(), r.flux.end());
      noise.insert(noise.end(), r.noise.begin(), r.noise.end());
      windows.insert(windows.end(), {0, static_cast<std::int32_t>(kColumns)});
      initial.insert(initial.end(), {2.0f, 0.0f, 20.0f, 0.1f, 300.0f, 20.0f, 0.0f});
      lower.insert(lower.end(), {0.0f, -100.0f, 5.0f, 0.0f, 200.0f, 5.0f, -1.0f});
      upper.insert(upper.end(), {10.0f, 100.0f, 80.0f, 10.0f, 400.0f, 80.0f, 1.0f});
    }
    const auto n = static_cast<std::int64_t>(rows), m = static_cast<std::int64_t>(kColumns);
    const LinesBatchArrays arrays{.spectra = {spectra.data(), 2, {n, m}},
                                  .velocity = {r.velocity.data(), 1, {m, 1}},
                                  .noise = {noise.data(), 2, {n, m}},
                                  .windows = {windows.data(), 2, {n, 2}},
                                  .initial = {initial.data(), 2, {n, 7}},
                                  .lower = {lower.data(), 2, {n, 7}},
                                  .upper = {upper.data(), 2, {n, 7}},
                                  .fixed = std::nullopt,
                                  .centre_ref = std::nullopt,
                                  .centre_offset = std::nullopt,
                                  .amplitude_ref = std::nullopt,
                                  .amplitude_ratio = std::nullopt,
                                  .sigma_ref = std::nullopt,
                                  .scale = std::nullopt};
    const auto input = check_lines_batch(arrays, 2, 0, {1e-8f, 1e-8f, 1e-8f, 200});
    EXPECT_TRUE(input.has_value());
    LinesBatchOutput output = allocate_lines_output(rows, 7);
    const std::size_t before = test_support::allocations();
    fit_lines_rows(*input, output, pool, path);
    const std::size_t made = test_support::allocations() - before;
    for (std::size_t i = 0; i < rows; ++i) EXPECT_EQ(output.stats[kLineStatsWidth * i + 4], 0.0f);
    return made;
  };
  for (const RowPath path : {RowPath::Scalar, RowPath::Avx2, RowPath::Avx512}) {
    if (!row_path_runs_here(path)) continue;
    EXPECT_EQ(allocations_for(16, path), allocations_for(160, path)) << static_cast<int>(path);
  }
}

}  // namespace
}  // namespace quillet
