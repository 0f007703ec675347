#pragma once

#include <cstdint>
#include <expected>

#include "gaussian/array_view.hpp"
#include "gaussian/domain_error.hpp"
#include "gaussian/fit_result.hpp"

namespace quillet {

// Body of the module function `fit_gaussian_f32`: checks its input in order,
// returning the first failed check's message, then fits. The result carries
// kFlagSuccess or kFlagNoConvergence.
std::expected<FitResult, DomainError> fit_gaussian_f32(
    const ArrayView& x, const ArrayView& y, const ArrayView& error, const ArrayView& initial,
    const ArrayView& lower_bounds, const ArrayView& upper_bounds, float xtol, float ftol,
    float gtol, std::int64_t max_iter);

}  // namespace quillet
