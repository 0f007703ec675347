#include "spectrum/der_snr.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
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
  // The differences, and the selection's room to partition them into.
  return columns > 2 * kReach ? 2 * (columns - 2 * kReach) : 0;
}

namespace {

// Four differences per step. GCC's vector types compile to the platform's
// SIMD instructions where there are any, and to plain code elsewhere; each
// lane rounds exactly as the scalar expression would.
using Floats = float __attribute__((vector_size(4 * sizeof(float))));
using Lanes = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
constexpr std::size_t kLanes = 4;
// Clears the sign bit of each lane, as fabs does.
constexpr Lanes kMagnitudeBits = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};

Floats load(const float* p) {
  Floats v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Parts of at most this many values are finished by insertion sort.
constexpr std::size_t kSmallPart = 16;
// Partition rounds before a run of poor pivots hands over to nth_element.
constexpr std::size_t kMaxRounds = 64;

// The largest of n > 0 values, none of them NaN (any order of comparison
// finds the same one).
float largest(const float* values, std::size_t n) {
  float best = values[0];
  for (std::size_t i = 1; i < n; ++i) best = values[i] > best ? values[i] : best;
  return best;
}

float median_of_three(float a, float b, float c) {
  return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

// The values of ranks k - 1 and k among the n values at `values`, none of
// them NaN (minus infinity for rank -1); `spare` holds n floats, and both
// are reordered. A quickselect whose partition has no branch that depends
// on the data: each value is written to both ends of the gap between the
// values below the pivot and those above, and only the matching end
// advances, so a row of noise costs no mispredicted branches. Any correct
// selection gives the same two values, and so the same bits.
std::pair<float, float> ranks_around(float* values, std::size_t n, std::size_t k, float* spare) {
  constexpr float kMinusInf = -std::numeric_limits<float>::infinity();
  float below = kMinusInf;  // the largest value ranked below the part left
  for (std::size_t round = 0; n > kSmallPart; ++round) {
    if (round == kMaxRounds) {
      std::nth_element(values, values + k, values + n);
      const float lower = k > 0 ? largest(values, k) : below;
      return {lower, values[k]};
    }
    const float pivot = median_of_three(values[0], values[n / 2], values[n - 1]);
    std::size_t less = 0;
    std::size_t greater_from = n;
    for (std::size_t i = 0; i < n; ++i) {
      const float v = values[i];
      spare[less] = v;
      spare[greater_from - 1] = v;
      less += v < pivot ? 1 : 0;
      greater_from -= v > pivot ? 1 : 0;
    }
    // spare now holds the values below the pivot, then a gap for those equal
    // to it (never read), then those above.
    if (k < less) {
      std::swap(values, spare);
      n = less;
    } else if (k < greater_from) {
      // Rank k - 1 is the pivot too, or the largest value below it.
      const float lower = k > less ? pivot : (less > 0 ? largest(spare, less) : below);
      return {lower, pivot};
    } else {
      below = pivot;
      float* const part = spare + greater_from;
      spare = values + greater_from;
      values = part;
      n -= greater_from;
      k -= greater_from;
    }
  }
  std::sort(values, values + n);
  return {k > 0 ? values[k - 1] : below, values[k]};
}

// The two middle values (the lower and upper medians) of the n values at
// `values`, none of them NaN; `spare` holds n floats, and both are
// reordered.
std::pair<float, float> middle_values(float* values, std::size_t n, float* spare) {
  const std::size_t r_hi = n / 2;
  const std::pair<float, float> ranks = ranks_around(values, n, r_hi, spare);
  return {n % 2 == 0 ? ranks.first : ranks.second, ranks.second};
}

}  // namespace

double der_snr_row(std::span<const float> row, std::span<float> scratch) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::size_t differences = der_snr_scratch_size(row.size()) / 2;
  if (differences == 0) return kNaN;
  if (scratch.size() < 2 * differences) throw std::logic_error("DER_SNR scratch is too short");

  float* const values = scratch.data();
  // Every difference first, in a loop with no branch and no dependence
  // between pixels; only a row with NaN differences is then compacted.
  std::size_t j = 0;
  Lanes nan_lanes{};
  for (; j + kLanes <= differences; j += kLanes) {
    Floats second = load(row.data() + j + kReach) * 2.0f;
    second -= load(row.data() + j);
    second -= load(row.data() + j + 2 * kReach);
    const Floats magnitude = std::bit_cast<Floats>(std::bit_cast<Lanes>(second) & kMagnitudeBits);
    std::memcpy(values + j, &magnitude, sizeof magnitude);
    nan_lanes -= second != second;  // each NaN lane compares as -1
  }
  std::size_t missing = 0;
  for (std::size_t k = 0; k < kLanes; ++k) missing += static_cast<std::size_t>(nan_lanes[k]);
  for (; j < differences; ++j) {
    float second = row[j + kReach] * 2.0f;
    second -= row[j];
    second -= row[j + 2 * kReach];
    values[j] = std::fabs(second);
    missing += std::isnan(second) ? 1 : 0;
  }
  std::size_t count = differences;
  if (missing > 0) {
    count = 0;
    for (std::size_t i = 0; i < differences; ++i) {
      // Written unconditionally and kept only when it is a number, so that
      // the loop has no branch to mispredict on rows with scattered NaN.
      const float v = values[i];
      values[count] = v;
      count += std::isnan(v) ? 0 : 1;
    }
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
