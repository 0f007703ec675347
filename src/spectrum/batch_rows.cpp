#include "spectrum/batch_rows.hpp"

#include <algorithm>
#include <cstdint>

namespace quillet {

// Rows lie far apart in memory, and a row's fit reads only a short stretch
// of it round its guide, which no hardware prefetcher foresees; so each row
// job asks for the next row's stretch (its peak search run, widened by the
// window's reach) while it fits its own. Only a hint: nothing depends on it.
void prefetch_row(const BatchInput& input, AxisOrder order, std::size_t i) {
  if (i >= input.rows || order == AxisOrder::Unsorted) return;
  const SpectrumFitParams& p = input.params;
  const float radius = static_cast<float>(p.npix_slack) * p.dv + p.velocity_range;
  const PixelRun run = search_run(input.dopp_slit, input.guides[i], radius, order);
  const auto reach = static_cast<std::size_t>(std::max(p.npix, std::int32_t{0})) + 1;
  const std::size_t used = input.dopp_slit.size();
  const std::size_t begin = run.begin > reach ? run.begin - reach : 0;
  const std::size_t end = std::min(used, run.end + reach);
  if (begin >= end) return;
  constexpr std::size_t kFloatsPerLine = 64 / sizeof(float);
  const float* const spectrum = input.spectra.data() + i * input.columns;
  const float* const noise = input.spec_noise.data() + i * input.columns;
  for (std::size_t k = begin; k < end + kFloatsPerLine - 1; k += kFloatsPerLine) {
    const std::size_t at = std::min(k, end - 1);
    __builtin_prefetch(spectrum + at);
    __builtin_prefetch(noise + at);
  }
}

std::span<const float> row_spectrum(const BatchInput& input, std::size_t i) {
  return input.spectra.subspan(i * input.columns,
                               static_cast<std::size_t>(input.params.sg_xpixels));
}

std::span<const float> row_noise(const BatchInput& input, std::size_t i) {
  return input.spec_noise.subspan(i * input.columns,
                                  static_cast<std::size_t>(input.params.sg_xpixels));
}

void write_row(BatchOutput& output, std::size_t i, const SpectrumFitOutcome& outcome) {
  std::ranges::copy(outcome.result.values, output.fits.get() + i * outcome.result.values.size());
  output.windows[2 * i] = outcome.window.i_left;
  output.windows[2 * i + 1] = outcome.window.i_right;
}

}  // namespace quillet
