#include "spectrum/batch_rows.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <mutex>
#include <vector>

#include "spectrum/worker_pool.hpp"
#include "testing/example_spectrum_params.hpp"

namespace quillet {
namespace {

struct Claimed {
  std::size_t index;
  PixelRun search;
};

// The rows RowClaims hands each participant of a batch, on axes of every
// order, with guides near and far and one that is NaN: every row once, each
// participant's ascending, and each with the run its own guide gives.
TEST(RowClaims, EveryRowOnceWithItsOwnSearchRun) {
  constexpr std::size_t kRows = 997;
  const SpectrumFitParams params = example_spectrum_params();
  const auto pixels = static_cast<std::size_t>(params.sg_xpixels);
  std::vector<float> ascending(pixels), descending(pixels), unsorted(pixels);
  for (std::size_t c = 0; c < pixels; ++c) {
    ascending[c] = 2.0f * static_cast<float>(c) - 100.0f;
    descending[c] = -ascending[c];
    unsorted[c] = c % 2 == 0 ? ascending[c] : descending[c];
  }
  std::vector<float> guides(kRows);
  for (std::size_t r = 0; r < kRows; ++r) {
    guides[r] = r == 7 ? std::numeric_limits<float>::quiet_NaN()
                       : static_cast<float>(r % 151) * 1.5f - 110.0f;
  }
  const std::vector<float> plane(kRows * pixels, 1.0f);
  WorkerPool pool(3);
  for (const std::vector<float>* axis : {&ascending, &descending, &unsorted}) {
    const AxisOrder order = axis_order(*axis);
    const BatchInput input{.spectra = plane,
                           .dopp_slit = *axis,
                           .spec_noise = plane,
                           .guides = guides,
                           .rows = kRows,
                           .columns = pixels,
                           .params = params};
    std::mutex mutex;
    std::vector<std::vector<Claimed>> participants;
    pool.for_each_participant(kRows, [&](WorkerPool::Claims& claims) {
      RowClaims rows(input, order, claims);
      std::vector<Claimed> mine;
      while (const std::optional<RowClaims::Row> row = rows.next()) {
        mine.push_back({row->index, row->search});
      }
      const std::lock_guard lock(mutex);
      participants.push_back(std::move(mine));
    });
    std::vector<std::size_t> all;
    for (const std::vector<Claimed>& mine : participants) {
      EXPECT_TRUE(std::ranges::is_sorted(mine, {}, &Claimed::index));
      for (const Claimed& c : mine) {
        const PixelRun own = window_search_run(*axis, guides[c.index], params, order);
        EXPECT_EQ(c.search.begin, own.begin) << "row " << c.index;
        EXPECT_EQ(c.search.end, own.end) << "row " << c.index;
        all.push_back(c.index);
      }
    }
    std::ranges::sort(all);
    std::vector<std::size_t> every(kRows);
    for (std::size_t r = 0; r < kRows; ++r) every[r] = r;
    EXPECT_EQ(all, every);
  }
}

}  // namespace
}  // namespace quillet
