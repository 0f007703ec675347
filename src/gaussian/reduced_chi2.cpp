#include "gaussian/reduced_chi2.hpp"

#include <algorithm>
#include <cstdint>

namespace quillet {

float reduced_chi2(float chi2, std::size_t n) { return reduced_chi2(chi2, n, 3); }

float reduced_chi2(float chi2, std::size_t n, std::size_t nfree) {
  // n - nfree is a 32-bit signed count; forming it with unsigned arithmetic
  // keeps a (never seen) count beyond 2^31 from being undefined behaviour.
  const auto dof =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(n) - static_cast<std::uint32_t>(nfree));
  return chi2 / static_cast<float>(std::max<std::int32_t>(dof, 1));
}

}  // namespace quillet
