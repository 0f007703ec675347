#include "spectrum/peak_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <ranges>

namespace quillet {
namespace {

// The pixels of an ordered axis within `radius` of `guide`. The offset
// axis[i] - guide, rounded to float, never decreases along an ascending axis
// (rounding is monotonic, and a finite guide makes no offset NaN), so
// |offset| <= radius, that is -radius <= offset <= radius, holds on one run
// of indices; a descending axis mirrors this.
PixelRun pixels_within(std::span<const float> axis, float guide, float radius, AxisOrder order) {
  const auto offset = [axis, guide](std::size_t i) { return axis[i] - guide; };
  const auto indices = std::views::iota(std::size_t{0}, axis.size());
  const auto first_where_not = [&indices](auto before) {
    return *std::ranges::partition_point(indices, before);
  };
  PixelRun run{};
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

// Four pixels per step. GCC's vector types compile to the platform's SIMD
// instructions where there are any, and to plain code elsewhere.
using Floats = float __attribute__((vector_size(4 * sizeof(float))));
constexpr std::size_t kLanes = 4;

Floats load(const float* p) {
  Floats v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

Floats splat(float x) { return Floats{x, x, x, x}; }

// |axis[i] - guide| <= radius holds exactly when -radius <= axis[i] - guide
// <= radius (the absolute value is exact; a NaN difference fails both).
bool qualifies(float velocity, float guide, float radius) {
  return std::abs(velocity - guide) <= radius;
}

// The scan's answer in two passes. Its pixel is the first that holds the
// largest qualifying intensity (a later equal one never replaced it), and a
// NaN never qualified. Among the values left, the largest is the same in any
// order of comparison, so the first pass takes it several pixels at a time;
// the second finds where it first occurs. (Signed zeros may compare in
// another order, but a zero maximum is rejected either way.)
float brightest(std::span<const float> spectrum, std::span<const float> axis, float guide,
                float radius, PixelRun run) {
  constexpr float kNone = -std::numeric_limits<float>::infinity();
  const Floats g = splat(guide), high = splat(radius), low = splat(-radius), none = splat(kNone);
  Floats lanes = none;
  std::size_t i = run.begin;
  for (; i + kLanes <= run.end; i += kLanes) {
    const Floats offset = load(axis.data() + i) - g;
    const Floats value = load(spectrum.data() + i);
    const Floats candidate = (offset >= low) & (offset <= high) & (value == value) ? value : none;
    lanes = candidate > lanes ? candidate : lanes;
  }
  float best = kNone;
  for (std::size_t k = 0; k < kLanes; ++k) best = lanes[k] > best ? lanes[k] : best;
  for (; i < run.end; ++i) {
    if (qualifies(axis[i], guide, radius) && spectrum[i] > best) best = spectrum[i];
  }
  return best;
}

std::size_t first_at(std::span<const float> spectrum, std::span<const float> axis, float guide,
                     float radius, PixelRun run, float best) {
  const Floats target = splat(best);
  std::size_t i = run.begin;
  // Skip the blocks of four that do not hold the value at all.
  for (; i + kLanes <= run.end; i += kLanes) {
    const auto hit = load(spectrum.data() + i) == target;
    if ((hit[0] | hit[1] | hit[2] | hit[3]) != 0) break;
  }
  for (; i < run.end; ++i) {
    if (spectrum[i] == best && qualifies(axis[i], guide, radius)) return i;
  }
  return run.end;  // not reached: `best` was taken from a qualifying pixel
}

}  // namespace

AxisOrder axis_order(std::span<const float> axis) {
  if (std::ranges::any_of(axis, [](float v) { return std::isnan(v); })) return AxisOrder::Unsorted;
  if (std::ranges::is_sorted(axis)) return AxisOrder::Ascending;
  if (std::ranges::is_sorted(axis, std::ranges::greater{})) return AxisOrder::Descending;
  return AxisOrder::Unsorted;
}

PixelRun search_run(std::span<const float> axis, float guide, float radius, AxisOrder order) {
  // A non-finite guide or radius can make an offset NaN or the run's ends
  // ambiguous; those rare calls read the whole axis.
  if (order == AxisOrder::Unsorted || !std::isfinite(guide) || !std::isfinite(radius)) {
    return {0, axis.size()};
  }
  return pixels_within(axis, guide, radius, order);
}

std::optional<Peak> find_peak(std::span<const float> spectrum, std::span<const float> axis,
                              float guide, float radius, AxisOrder order) {
  return find_peak_in(spectrum, axis, guide, radius, search_run(axis, guide, radius, order));
}

std::optional<Peak> find_peak_in(std::span<const float> spectrum, std::span<const float> axis,
                                 float guide, float radius, PixelRun run) {
  const float best = brightest(spectrum, axis, guide, radius, run);
  if (!(best > 0.0f)) return std::nullopt;
  return Peak{static_cast<std::int64_t>(first_at(spectrum, axis, guide, radius, run, best)), best};
}

}  // namespace quillet
