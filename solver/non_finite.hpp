#pragma once

#include <span>

namespace quillet::solver {

// Whether any value is an infinity or a NaN: the driver's test of the
// factored Jacobian before it is trusted.
bool has_non_finite(std::span<const double> values);

}  // namespace quillet::solver
