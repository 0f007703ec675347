// The list of _quillet_kernels' functions: one line per function, in the
// order of registration.
#include "api/kernels/kernel_functions.hpp"

namespace quillet::api {

std::span<PyMethodDef* const> kernel_methods() {
  static PyMethodDef* const methods[] = {
      &fit_lines_batch_method,
  };
  return methods;
}

}  // namespace quillet::api
