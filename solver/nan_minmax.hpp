#pragma once

#include <cmath>

namespace quillet::solver {

// Maximum and minimum of two doubles that ignore a NaN operand: the solver's
// step-bound and scaling updates must not be poisoned by one NaN candidate.
// Both NaN gives NaN.
inline double nan_max(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return a < b ? b : a;
}

inline double nan_min(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return b < a ? b : a;
}

}  // namespace quillet::solver
