#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "api/argument_conversion.hpp"
#include "spectrum/spectrum_fit_params.hpp"

namespace quillet::api {

// The names of the fourteen settings, from `velocity_range` to `max_iter`,
// in the order the spectrum functions take them.
inline constexpr std::array<const char*, 14> kSpectrumSettingNames = {"velocity_range",
                                                                      "npix",
                                                                      "npix_slack",
                                                                      "dv",
                                                                      "width_min",
                                                                      "sg_xpixels",
                                                                      "amplitude_rel_min",
                                                                      "amplitude_rel_max",
                                                                      "width_max",
                                                                      "width_guess",
                                                                      "xtol",
                                                                      "ftol",
                                                                      "gtol",
                                                                      "max_iter"};

// Position of `velocity_range`, the first of the fourteen settings that both
// spectrum functions take after their four array-or-guide arguments.
inline constexpr std::size_t kFirstSpectrumSetting = 4;

// The eighteen parameter names of a spectrum function, given the names of its
// first array and of its guide parameter; the rest are common to both.
constexpr std::array<const char*, 18> spectrum_parameter_names(const char* spectra,
                                                               const char* guide) {
  std::array<const char*, 18> names{spectra, "dopp_slit", "spec_noise", guide};
  std::ranges::copy(kSpectrumSettingNames, names.begin() + kFirstSpectrumSetting);
  return names;
}

// The number of settings without a default: all but the four solver settings.
inline constexpr std::size_t kRequiredSpectrumSettings = 10;

// The number of required parameters of a spectrum function.
inline constexpr std::size_t kRequiredSpectrumParameters =
    kFirstSpectrumSetting + kRequiredSpectrumSettings;

// What the optional solver settings are when the caller leaves them out: the
// float32 nearest one millionth for each tolerance, and 2000 iterations.
inline constexpr float kDefaultTolerance = 1e-6f;
inline constexpr std::int64_t kDefaultMaxIter = 2000;

// Converts the fourteen settings in parameter order, from `velocity_range` to
// `max_iter`, supplying the defaults of the four optional tolerances. `first`
// is the position of `velocity_range` among the function's parameters.
bool convert_spectrum_fit_params(const ArgumentConverter& convert, SpectrumFitParams& params,
                                 std::size_t first = kFirstSpectrumSetting);

}  // namespace quillet::api
