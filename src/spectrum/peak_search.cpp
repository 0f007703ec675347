#include "spectrum/peak_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <ranges>

namespace quillet {
namespace {

struct IndexRange {
  std::size_t begin;
  std::size_t end;
};

// The pixels of an ordered axis within `radius` of `guide`. The offset
// axis[i] - guide, rounded to float, never decreases along an ascending axis
// (rounding is monotonic, and a finite guide makes no offset NaN), so
// |offset| <= radius, that is -radius <= offset <= radius, holds on one run
// of indices; a descending axis mirrors this.
IndexRange pixels_within(std::span<const float> axis, float guide, float radius, AxisOrder order) {
  const auto offset = [axis, guide](std::size_t i) { return axis[i] - guide; };
  const auto indices = std::views::iota(std::size_t{0}, axis.size());
  const auto first_where_not = [&indices](auto before) {
    return *std::ranges::partition_point(indices, before);
  };
  IndexRange run{};
  if (order == AxisOrder::Ascending) {
    run.begin = first_where_not([&](std::size_t i) { return offset(i) < -radius; });
    run.end = first_where_not([&](std::size_t i) { return offset(i) <= radius; });
  } else {
    run.begin = first_where_not([&](std::size_t i) { return offset(i) > radius; });
    run.end = first_where_not([&](std::size_t i) { return offset(i) >= -radius; });
  }
  run.end = std::max(run.begin, run.end);  // a negative radius admits nothing
  return run;
}

}  // namespace

AxisOrder axis_order(std::span<const float> axis) {
  if (std::ranges::any_of(axis, [](float v) { return std::isnan(v); })) return AxisOrder::Unsorted;
  if (std::ranges::is_sorted(axis)) return AxisOrder::Ascending;
  if (std::ranges::is_sorted(axis, std::ranges::greater{})) return AxisOrder::Descending;
  return AxisOrder::Unsorted;
}

std::optional<Peak> find_peak(std::span<const float> spectrum, std::span<const float> axis,
                              float guide, float radius, AxisOrder order) {
  IndexRange scan{0, axis.size()};
  // A non-finite guide or radius can make an offset NaN or the run's ends
  // ambiguous; those rare calls read the whole axis.
  if (order != AxisOrder::Unsorted && std::isfinite(guide) && std::isfinite(radius)) {
    scan = pixels_within(axis, guide, radius, order);
  }

  // The test is repeated inside the run, so both paths share one rule.
  float best = -std::numeric_limits<float>::infinity();
  std::size_t p = 0;
  for (std::size_t i = scan.begin; i < scan.end; ++i) {
    if (std::abs(axis[i] - guide) <= radius && spectrum[i] > best) {
      best = spectrum[i];
      p = i;
    }
  }
  if (!(best > 0.0f)) return std::nullopt;
  return Peak{static_cast<std::int64_t>(p), best};
}

}  // namespace quillet
