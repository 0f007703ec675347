#pragma once

// The binding layer's one way to NumPy's C API. All files share one function
// table, filled by ensure_numpy_api() on first need instead of at import, so
// that importing _quillet neither imports NumPy nor fails without it.
#include "api/py_ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL quillet_PyArray_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef QUILLET_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quillet::api {

// Loads the table from the `_ARRAY_API` capsule of NumPy's multiarray module
// (numpy._core for NumPy 2, numpy.core for NumPy 1) and checks that the
// running NumPy can serve a module built against these headers. Cheap once it
// has succeeded. On failure returns false with an internal fault pending
// whose text begins "Failed to access NumPy array API capsule".
bool ensure_numpy_api();

}  // namespace quillet::api
