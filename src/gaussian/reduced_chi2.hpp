#pragma once

#include <cstddef>

namespace quillet {

// chi2 / max(n - 3, 1) in single precision, n the number of fitted samples:
// three parameters use up three degrees of freedom, and a fit with none left
// divides by 1.
float reduced_chi2(float chi2, std::size_t n);

// The same for a fit of `nfree` free parameters: chi2 / max(n - nfree, 1).
float reduced_chi2(float chi2, std::size_t n, std::size_t nfree);

}  // namespace quillet
