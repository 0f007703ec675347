#include "spectrum/fit_single_spectrum.hpp"

#include <cstddef>
#include <optional>
#include <span>

#include "spectrum/validate_spectrum_params.hpp"

namespace quillet {

std::expected<SpectrumFitOutcome, DomainError> fit_single_spectrum(
    const ArrayView& spectrum, const ArrayView& dopp_slit, const ArrayView& spec_noise,
    float guide_velocity, const SpectrumFitParams& params) {
  if (const std::optional<DomainError> error = validate_spectrum_params(params)) {
    return std::unexpected(*error);
  }

  const std::optional<std::span<const float>> spectrum_flat = spectrum.flat();
  if (!spectrum_flat) return std::unexpected(DomainError{"spectrum must be contiguous float32"});
  const std::optional<std::span<const float>> dopp_flat = dopp_slit.flat();
  if (!dopp_flat) return std::unexpected(DomainError{"dopp_slit must be contiguous float32"});
  const std::optional<std::span<const float>> noise_flat = spec_noise.flat();
  if (!noise_flat) return std::unexpected(DomainError{"spec_noise must be contiguous float32"});

  // Validation made sg_xpixels positive. The three lengths may differ; only
  // the leading sg_xpixels values of each are read.
  const auto n = static_cast<std::size_t>(params.sg_xpixels);
  if (spectrum_flat->size() < n || dopp_flat->size() < n || noise_flat->size() < n) {
    return std::unexpected(DomainError{"input arrays must be at least n_pixels long"});
  }
  return fit_spectrum_window(spectrum_flat->first(n), dopp_flat->first(n), noise_flat->first(n),
                             guide_velocity, params);
}

}  // namespace quillet
