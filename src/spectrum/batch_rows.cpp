#include "spectrum/batch_rows.hpp"

#include <algorithm>
#include <cstdint>

namespace quillet {

RowClaims::RowClaims(const BatchInput& input, AxisOrder order, WorkerPool::Claims& claims)
    : input_(input), order_(order), claims_(claims), ahead_(claim()) {}

std::optional<RowClaims::Row> RowClaims::claim() {
  const std::optional<std::size_t> i = claims_.next();
  if (!i) return std::nullopt;
  const Row row{*i, window_search_run(input_.dopp_slit, input_.guides[*i], input_.params, order_)};
  // The stretch the fit will read: the search's run widened by the window's
  // reach (on an unsorted axis the search reads the whole row, and nothing
  // is asked for). Written here rather than in a function of its own, whose
  // calls the compiler may drop: a prefetch changes nothing it can see.
  if (order_ != AxisOrder::Unsorted) {
    const SpectrumFitParams& p = input_.params;
    const auto reach = static_cast<std::size_t>(std::max(p.npix, std::int32_t{0})) + 1;
    const std::size_t begin = row.search.begin > reach ? row.search.begin - reach : 0;
    const std::size_t end = std::min(input_.dopp_slit.size(), row.search.end + reach);
    constexpr std::size_t kFloatsPerLine = 64 / sizeof(float);
    const float* const spectrum = input_.spectra.data() + *i * input_.columns;
    const float* const noise = input_.spec_noise.data() + *i * input_.columns;
    for (std::size_t k = begin; k < end + kFloatsPerLine - 1 && begin < end; k += kFloatsPerLine) {
      const std::size_t at = std::min(k, end - 1);
      __builtin_prefetch(spectrum + at);
      __builtin_prefetch(noise + at);
    }
  }
  return row;
}

std::optional<RowClaims::Row> RowClaims::next() {
  std::optional<Row> row = ahead_;
  if (row) ahead_ = claim();
  return row;
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
