// The _quillet extension module: its definition, and the exec step that
// registers the three functions and the three flag constants in __all__.
#include <array>
#include <string_view>

#include "api/module_functions.hpp"
#include "api/py_ref.hpp"
#include "gaussian/fit_result.hpp"

namespace quillet::api {
namespace {

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

int add_flag(PyObject* module, std::string_view flag_name, float flag) {
  PyRef name = PyRef::steal(
      PyUnicode_FromStringAndSize(flag_name.data(), static_cast<Py_ssize_t>(flag_name.size())));
  if (!name) return -1;
  PyRef value = PyRef::steal(PyFloat_FromDouble(static_cast<double>(flag)));
  if (!value) return -1;
  return add_to_module(module, name.get(), value.get());
}

int exec_quillet(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_quillet can only be executed on a module object");
    return -1;
  }
  for (PyMethodDef* method :
       {&fit_single_spectrum_method, &fit_gaussian_f32_method, &fit_spectra_batch_guided_method}) {
    if (add_function(module, method) < 0) return -1;
  }
  if (add_flag(module, "FLAG_SUCCESS", kFlagSuccess) < 0 ||
      add_flag(module, "FLAG_NO_LOCAL_MAX", kFlagNoLocalMax) < 0 ||
      add_flag(module, "FLAG_NO_CONVERGENCE", kFlagNoConvergence) < 0) {
    return -1;
  }
  return 0;
}

PyModuleDef_Slot quillet_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_quillet)},
#if PY_VERSION_HEX >= 0x030D0000
    // The module keeps no state of its own; the lazily made NumPy table and
    // result type are published atomically, so no GIL is needed for them.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef quillet_module = {
    PyModuleDef_HEAD_INIT, "_quillet", "", 0, nullptr, quillet_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quillet::api

PyMODINIT_FUNC PyInit__quillet() { return PyModuleDef_Init(&quillet::api::quillet_module); }
