#include "spectrum/row_peaks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>

#include "spectrum/peak_search.hpp"

namespace quillet {
namespace {

// Eight pixels per step of the count. GCC's vector types compile to the
// platform's SIMD instructions where there are any.
using Floats = float __attribute__((vector_size(8 * sizeof(float))));
using Lanes = std::int32_t __attribute__((vector_size(8 * sizeof(std::int32_t))));
constexpr std::size_t kLanes = 8;

// The finite values among `values`: v - v is 0 for those and NaN for the
// infinities and NaN.
std::int32_t finite_count(std::span<const float> values) {
  Lanes lanes{};
  std::size_t i = 0;
  for (; i + kLanes <= values.size(); i += kLanes) {
    Floats v;
    std::memcpy(&v, values.data() + i, sizeof v);
    const Floats zero = v - v;
    lanes -= zero == zero;  // each finite lane compares as -1
  }
  std::int32_t count = 0;
  for (std::size_t k = 0; k < kLanes; ++k) count += lanes[k];
  for (; i < values.size(); ++i) count += std::isfinite(values[i]) ? 1 : 0;
  return count;
}

constexpr std::size_t kRowsPerClaim = 64;

RowPeak peak_in_order(std::span<const float> row, float guide, const RowPeakSearch& search,
                      AxisOrder order) {
  const std::span<const float> searched = row.first(search.axis.size());
  const std::int32_t finite = finite_count(searched);
  RowPeak none{-1, std::numeric_limits<float>::quiet_NaN(), finite};
  const std::optional<Peak> peak = find_peak(searched, search.axis, guide, search.radius, order);
  if (!peak) return none;
  const float velocity = search.axis[static_cast<std::size_t>(peak->pixel)];
  if (!(std::fabs(velocity - guide) <= search.velocity_range)) return none;
  return {static_cast<std::int32_t>(peak->pixel), peak->value, finite};
}

}  // namespace

RowPeak row_peak(std::span<const float> row, float guide, const RowPeakSearch& search) {
  if (row.size() < search.axis.size()) throw std::logic_error("the row is shorter than the axis");
  return peak_in_order(row, guide, search, axis_order(search.axis));
}

void row_peaks(std::span<const float> spectra, std::size_t columns, std::span<const float> guides,
               const RowPeakSearch& search, const RowPeakOutputs& out, WorkerPool& pool) {
  const std::size_t rows = guides.size();
  if (spectra.size() != rows * columns || columns < search.axis.size() ||
      out.channel.size() != rows || out.value.size() != rows || out.finite.size() != rows) {
    throw std::logic_error("peak buffers do not match the rows");
  }
  const AxisOrder order = axis_order(search.axis);
  // A row's search takes a fraction of a microsecond, less than claiming it
  // from a counter the other threads share; rows are claimed in runs.
  const std::size_t runs = (rows + kRowsPerClaim - 1) / kRowsPerClaim;
  pool.for_each_index(runs, [&](std::size_t run) {
    const std::size_t end = std::min(rows, (run + 1) * kRowsPerClaim);
    for (std::size_t i = run * kRowsPerClaim; i < end; ++i) {
      const RowPeak peak =
          peak_in_order(spectra.subspan(i * columns, columns), guides[i], search, order);
      out.channel[i] = peak.channel;
      out.value[i] = peak.value;
      out.finite[i] = peak.finite;
    }
  });
}

}  // namespace quillet
