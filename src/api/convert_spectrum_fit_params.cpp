#include "api/convert_spectrum_fit_params.hpp"

namespace quillet::api {

bool convert_spectrum_fit_params(const ArgumentConverter& convert, SpectrumFitParams& params,
                                 std::size_t first) {
  FitTolerances& tolerances = params.tolerances;
  return convert.real(first + 0, params.velocity_range) && convert.int32(first + 1, params.npix) &&
         convert.int32(first + 2, params.npix_slack) && convert.real(first + 3, params.dv) &&
         convert.real(first + 4, params.width_min) && convert.int64(first + 5, params.sg_xpixels) &&
         convert.real(first + 6, params.amplitude_rel_min) &&
         convert.real(first + 7, params.amplitude_rel_max) &&
         convert.real(first + 8, params.width_max) && convert.real(first + 9, params.width_guess) &&
         convert.real_or(first + 10, kDefaultTolerance, tolerances.xtol) &&
         convert.real_or(first + 11, kDefaultTolerance, tolerances.ftol) &&
         convert.real_or(first + 12, kDefaultTolerance, tolerances.gtol) &&
         convert.int64_or(first + 13, kDefaultMaxIter, tolerances.max_iter);
}

}  // namespace quillet::api
