#pragma once

#include <span>

#include "api/py_ref.hpp"

namespace quillet::api {

// The functions of _quillet_kernels in the order they are registered; each
// definition lives beside its call wrapper in this folder.
std::span<PyMethodDef* const> kernel_methods();

}  // namespace quillet::api
