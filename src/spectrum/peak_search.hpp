#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quillet {

// How a velocity axis is ordered, which decides how much of it a peak search
// must read. An axis holding a NaN is Unsorted whatever the other values.
enum class AxisOrder : std::uint8_t {
  Unsorted,    // every pixel must be looked at
  Ascending,   // axis[i] <= axis[i + 1] throughout (equal neighbours allowed)
  Descending,  // axis[i] >= axis[i + 1] throughout
};

// One pass over the axis. A batch asks once for all of its rows.
AxisOrder axis_order(std::span<const float> axis);

// Pixels [begin, end) of an axis.
struct PixelRun {
  std::size_t begin;
  std::size_t end;
};

// The pixels find_peak reads for this guide and radius: on an axis of known
// order with a finite guide and radius, the run of pixels within the radius
// (see find_peak); otherwise the whole axis.
PixelRun search_run(std::span<const float> axis, float guide, float radius, AxisOrder order);

struct Peak {
  std::int64_t pixel;
  float value;
};

// The brightest pixel i whose velocity lies within `radius` of `guide`, that
// is |axis[i] - guide| <= radius in single precision. Ties go to the lowest
// index, and a NaN velocity or intensity never qualifies. Returns nothing
// unless that pixel's value is positive.
//
// On an axis of known order (see `axis_order`) and with a finite guide and
// radius, the pixels within the radius form one run of consecutive indices:
// the rounded distance axis[i] - guide is monotonic in i. Two binary searches
// find that run's ends with the same float comparisons as the scan, and only
// the run is scanned, so the answer is the one the full scan gives.
std::optional<Peak> find_peak(std::span<const float> spectrum, std::span<const float> axis,
                              float guide, float radius, AxisOrder order);

// The same peak, over the run that search_run gives for this axis, guide,
// radius and order (a batch finds it once, when it claims the row).
std::optional<Peak> find_peak_in(std::span<const float> spectrum, std::span<const float> axis,
                                 float guide, float radius, PixelRun run);

}  // namespace quillet
