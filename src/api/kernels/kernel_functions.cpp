// The list of _quillet_kernels' functions: one line per function, in the
// order of registration.
#include "api/kernels/kernel_functions.hpp"

#include <array>

namespace quillet::api {

std::span<PyMethodDef* const> kernel_methods() {
  static const std::array<PyMethodDef*, 0> methods{};
  return methods;
}

}  // namespace quillet::api
