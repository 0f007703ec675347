#include "spectrum/der_snr.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>

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
  return columns > 2 * kReach ? columns - 2 * kReach : 0;
}

double der_snr_row(std::span<const float> row, std::span<float> scratch) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const std::size_t differences = der_snr_scratch_size(row.size());
  if (differences == 0) return kNaN;
  if (scratch.size() < differences) throw std::logic_error("DER_SNR scratch is too short");

  std::size_t count = 0;
  for (std::size_t i = kReach; i + kReach < row.size(); ++i) {
    float second = row[i] * 2.0f;
    second -= row[i - kReach];
    second -= row[i + kReach];
    // Written unconditionally and kept only when it is a number, so that the
    // loop has no branch to mispredict on rows with scattered NaN.
    scratch[count] = std::fabs(second);
    count += std::isnan(second) ? 0 : 1;
  }
  if (count == 0) return kNaN;

  // The magnitudes are never negative, so no -0 beside +0 makes equal values
  // differ in their bits: whichever of equal values selection picks, the
  // median's bits are the same. For an even count the lower middle value is
  // the largest of those selection puts below the upper one.
  const auto values = scratch.first(count);
  const std::size_t upper_rank = count / 2;
  std::ranges::nth_element(values, values.begin() + static_cast<std::ptrdiff_t>(upper_rank));
  const float upper = values[upper_rank];
  const float lower = count % 2 == 1 ? upper : *std::ranges::max_element(values.first(upper_rank));
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
