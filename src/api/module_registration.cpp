// What both extension modules do in their exec steps: functions and
// constants added as attributes and listed in __all__, in order.
#include "api/module_registration.hpp"

namespace quillet::api {

// Appends `name` to the module's __all__ (made on first use) and sets the
// attribute `name` to `value`.
int add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return -1;
  }
  if (PyList_Append(all.get(), name) < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int add_function(PyObject* module, PyMethodDef* method) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function = PyRef::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
  if (!function) return -1;
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "a function's __name__ must be a str");
    return -1;
  }
  return add_to_module(module, name.get(), function.get());
}

int add_float_constant(PyObject* module, std::string_view constant_name, float value) {
  PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(
      constant_name.data(), static_cast<Py_ssize_t>(constant_name.size())));
  if (!name) return -1;
  PyRef number = PyRef::steal(PyFloat_FromDouble(static_cast<double>(value)));
  if (!number) return -1;
  return add_to_module(module, name.get(), number.get());
}

}  // namespace quillet::api
