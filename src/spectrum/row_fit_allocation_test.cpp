// A row of a batch is fitted without touching the heap: the window's samples
// sit in stack buffers, the solver's storage is lent from the fit core's
// stack, and the model keeps its terms in itself. Allocations are
// counted by the replaced global operator new.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "solver/allocation_counter_test_support.hpp"
#include "spectrum/example_spectrum_params.hpp"
#include "spectrum/fit_spectrum_window.hpp"
#include "spectrum/peak_search.hpp"

namespace quillet {
namespace {

struct Row {
  std::vector<float> flux, velocity, noise;
};

// A clean line at 4 km/s on 10 km/s pixels, pixel 50 at 0 km/s.
Row line_row(std::size_t n) {
  Row r{std::vector<float>(n), std::vector<float>(n), std::vector<float>(n, 0.05f)};
  for (std::size_t i = 0; i < n; ++i) {
    r.velocity[i] = 10.0f * static_cast<float>(i) - 500.0f;
    const double z = (r.velocity[i] - 4.0) / 25.0;
    r.flux[i] = static_cast<float>(3.0 * std::exp(-0.5 * z * z) +
                                   0.01 * std::sin(1.3 * static_cast<double>(i)));
  }
  return r;
}

struct AllocationCase {
  std::int32_t npix;
  std::size_t pixels;
  bool allocates;  // only a window beyond the stack buffers may
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
  if (c.allocates) {
    EXPECT_GT(allocations, 0u);
  } else {
    EXPECT_EQ(allocations, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, RowFitAllocations,
                         testing::Values(AllocationCase{3, 100, false},
                                         AllocationCase{10, 100, false},
                                         AllocationCase{40, 100, false},
                                         // 601 pixels: beyond the 512 stack samples
                                         AllocationCase{300, 700, true}));

}  // namespace
}  // namespace quillet
