// The list of _quillet_kernels' functions: one line per function, in the
// order of registration.
#include "api/kernels/kernel_functions.hpp"

// The address of `<name>_method`, the definition kept beside the function's
// call wrapper in this folder, declared where it is listed.
#define QUILLET_KERNEL(name)          \
  [] {                                \
    extern PyMethodDef name##_method; \
    return &name##_method;            \
  }()

namespace quillet::api {

std::span<PyMethodDef* const> kernel_methods() {
  static PyMethodDef* const methods[] = {
      QUILLET_KERNEL(check_spectrum_settings),
      QUILLET_KERNEL(estimate_noise),
      QUILLET_KERNEL(fit_lines_batch),
      QUILLET_KERNEL(find_guides),
      QUILLET_KERNEL(find_peaks),
  };
  return methods;
}

}  // namespace quillet::api
