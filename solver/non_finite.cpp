#include "solver/non_finite.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace quillet::solver {

bool has_non_finite(std::span<const double> values) {
  // -DBL_MAX <= v <= DBL_MAX fails exactly for an infinity or a NaN. Two
  // entries per step (GCC vector types), the failures gathered without a
  // branch; the odd last entry alone.
  using Doubles = double __attribute__((vector_size(2 * sizeof(double))));
  using Masks = std::int64_t __attribute__((vector_size(2 * sizeof(std::int64_t))));
  constexpr double kLargest = std::numeric_limits<double>::max();
  const Doubles high{kLargest, kLargest};
  const Doubles low{-kLargest, -kLargest};
  Masks finite{-1, -1};
  std::size_t i = 0;
  for (; i + 2 <= values.size(); i += 2) {
    Doubles v;
    std::memcpy(&v, values.data() + i, sizeof v);
    finite &= (v >= low) & (v <= high);
  }
  bool all_finite = finite[0] != 0 && finite[1] != 0;
  if (i < values.size()) all_finite = all_finite && std::fabs(values[i]) <= kLargest;
  return !all_finite;
}

}  // namespace quillet::solver
