#pragma once

#include <optional>

#include "gaussian/domain_error.hpp"
#include "gaussian/fit_bounded_gaussian.hpp"

namespace quillet {

// The caller's solver settings must be finite (checked first, so that an
// infinite tolerance is reported as such) and then positive, max_iter
// included. Returns the first failed check's error, or nothing.
std::optional<DomainError> check_tolerances(const FitTolerances& tol);

}  // namespace quillet
