#include "solver/non_finite.hpp"

#include <cmath>
#include <cstring>

namespace quillet::solver {

bool has_non_finite(std::span<const double> values) {
  // v * 0 is a zero of either sign for a finite v and NaN for an infinity or
  // a NaN, and a sum of zeros stays a zero: so the sum of every v * 0 is NaN
  // exactly when some value is not finite. Summed two entries per step (GCC
  // vector types, no branch); the odd last entry alone.
  using Doubles = double __attribute__((vector_size(2 * sizeof(double))));
  Doubles probe{0.0, 0.0};
  std::size_t i = 0;
  for (; i + 2 <= values.size(); i += 2) {
    Doubles v;
    std::memcpy(&v, values.data() + i, sizeof v);
    probe += v * 0.0;
  }
  double sum = probe[0] + probe[1];
  if (i < values.size()) sum += values[i] * 0.0;
  return std::isnan(sum);
}

}  // namespace quillet::solver
