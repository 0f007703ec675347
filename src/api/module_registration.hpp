#pragma once

#include <string_view>

#include "api/py_ref.hpp"

namespace quillet::api {

// Appends `name` to the module's __all__ (made on first use) and sets the
// attribute `name` to `value`.
int add_to_module(PyObject* module, PyObject* name, PyObject* value);

// Makes a function object of `method`, bound to `module`, and adds it under
// its own __name__.
int add_function(PyObject* module, PyMethodDef* method);

// Adds the float constant `value` under `constant_name`.
int add_float_constant(PyObject* module, std::string_view constant_name, float value);

}  // namespace quillet::api
