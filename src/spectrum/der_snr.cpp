#include "spectrum/der_snr.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace quillet {
namespace {

// Second differences reach two pixels to each side.
constexpr std::size_t kReach = 2;

// Turns the median second difference into a sigma.
const double kDerSnrFactor = 1.482602 / std::sqrt(6.0);

}  // namespace

std::expected<NoiseRows, DomainError> check_noise_rows(const ArrayView& spectra) {
  const std::optional<std::span<const float>> flat = spectra.flat();
  if (!flat) return std::unexpected(DomainError{"spectra must be a C-contiguous float32 array"});
  return NoiseRows{
      .spectra = *flat,
      .rows = static_cast<std::size_t>(spectra.shape[0]),
      .columns = static_cast<std::size_t>(spectra.shape[1]),
  };
}

std::size_t der_snr_scratch_size(std::size_t columns) {
  // The differences, and those near their median.
  return columns > 2 * kReach ? 2 * (columns - 2 * kReach) : 0;
}

namespace {

// Rows with fewer differences than this select among all of them.
constexpr std::size_t kFewValues = 128;
// Values sampled to bracket the median, and the sample ranks of the bracket:
// the median of the row lies between them unless about three standard
// deviations of the sample's median away.
constexpr std::size_t kSample = 64;
constexpr std::size_t kBracketLow = 20;
constexpr std::size_t kBracketHigh = kSample - 1 - kBracketLow;

// The values of ranks r_hi - 1 (or r_hi for an odd count) and r_hi among
// the n values at `values`, none of them NaN; `values` is reordered.
std::pair<float, float> middle_values_by_selection(float* values, std::size_t n, std::size_t r_hi,
                                                   bool even) {
  std::nth_element(values, values + r_hi, values + n);
  const float upper = values[r_hi];
  return {even ? *std::max_element(values, values + r_hi) : upper, upper};
}

// The two middle values (the lower and upper medians) of the n values at
// `values` (left as they are), none of them NaN; `near` holds n floats. A
// sample of the values, spread evenly over the row, brackets the median;
// one pass counts the values below the bracket and gathers those within it
// (written at every step, kept when within, so no branch depends on the
// data), and the selection runs among those few. Where the bracket misses
// a middle value, the selection runs among all of them.
std::pair<float, float> middle_values(float* values, std::size_t n, float* near) {
  const std::size_t r_hi = n / 2;
  const bool even = n % 2 == 0;
  const std::size_t r_lo = even ? r_hi - 1 : r_hi;
  if (n >= kFewValues) {
    std::array<float, kSample> sample;
    for (std::size_t i = 0; i < kSample; ++i) sample[i] = values[i * n / kSample];
    std::ranges::sort(sample);
    const float low = sample[kBracketLow];
    const float high = sample[kBracketHigh];
    std::size_t below = 0;
    std::size_t within = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const float v = values[i];
      near[within] = v;
      below += v < low ? 1 : 0;
      within += static_cast<std::size_t>(v >= low) & static_cast<std::size_t>(v <= high);
    }
    if (below <= r_lo && r_hi < below + within) {
      return middle_values_by_selection(near, within, r_hi - below, even);
    }
  }
  return middle_values_by_selection(values, n, r_hi, even);
}

}  // namespace

double der_snr_row(std::span<const float> row, std::span<float> scratch) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::size_t differences = der_snr_scratch_size(row.size()) / 2;
  if (differences == 0) return kNaN;
  if (scratch.size() < 2 * differences) throw std::logic_error("DER_SNR scratch is too short");

  float* const values = scratch.data();
  std::size_t count = 0;
  for (std::size_t i = kReach; i + kReach < row.size(); ++i) {
    float second = row[i] * 2.0f;
    second -= row[i - kReach];
    second -= row[i + kReach];
    // Written unconditionally and kept only when it is a number, so that the
    // loop has no branch to mispredict on rows with scattered NaN.
    values[count] = std::fabs(second);
    count += std::isnan(second) ? 0 : 1;
  }
  if (count == 0) return kNaN;

  // The magnitudes are never negative, so no -0 beside +0 makes equal values
  // differ in their bits: the value of a rank is one set of bits, however
  // it is found.
  const auto [lower, upper] = middle_values(values, count, values + differences);
  const double median = 0.5 * (static_cast<double>(lower) + static_cast<double>(upper));
  return kDerSnrFactor * median;
}

void der_snr_rows(const NoiseRows& input, std::span<double> noise, WorkerPool& pool) {
  if (noise.size() != input.rows || input.spectra.size() != input.rows * input.columns) {
    throw std::logic_error("DER_SNR buffers do not match the rows");
  }
  const std::size_t scratch_size = der_snr_scratch_size(input.columns);
  pool.for_each_participant(input.rows, [&](WorkerPool::Claims& claims) {
    // One scratch per participant, for every row it claims.
    const auto scratch = std::make_unique_for_overwrite<float[]>(scratch_size);
    const std::span<float> work(scratch.get(), scratch_size);
    while (const std::optional<std::size_t> i = claims.next()) {
      noise[*i] = der_snr_row(input.spectra.subspan(*i * input.columns, input.columns), work);
    }
  });
}

}  // namespace quillet
