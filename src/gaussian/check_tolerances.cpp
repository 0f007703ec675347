#include "gaussian/check_tolerances.hpp"

#include <cmath>

namespace quillet {

std::optional<DomainError> check_tolerances(const FitTolerances& tol) {
  if (!(std::isfinite(tol.xtol) && std::isfinite(tol.ftol) && std::isfinite(tol.gtol))) {
    return DomainError{"xtol, ftol, and gtol must be finite"};
  }
  if (!(tol.xtol > 0.0f && tol.ftol > 0.0f && tol.gtol > 0.0f && tol.max_iter > 0)) {
    return DomainError{"xtol, ftol, gtol, and max_iter must be positive"};
  }
  return std::nullopt;
}

}  // namespace quillet
