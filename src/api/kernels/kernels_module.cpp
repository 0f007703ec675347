// The _quillet_kernels extension module: the package's own kernels (the
// settings check, the noise estimate, the line models), kept out of _quillet
// so that _quillet's surface stays exactly its three fits and three flags.
// It shares _quillet's argument binding, conversion and result arrays, and
// like _quillet it keeps no state of its own.
#include "api/kernels/kernel_functions.hpp"
#include "api/module_registration.hpp"
#include "api/py_ref.hpp"

namespace quillet::api {
namespace {

int exec_kernels(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_quillet_kernels can only be executed on a module object");
    return -1;
  }
  for (PyMethodDef* method : kernel_methods()) {
    if (add_function(module, method) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot kernels_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_kernels)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kernels_module = {
    PyModuleDef_HEAD_INIT,
    "_quillet_kernels",
    "The quillet package's own kernels.",
    0,
    nullptr,
    kernels_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillet::api

PyMODINIT_FUNC PyInit__quillet_kernels() { return PyModuleDef_Init(&quillet::api::kernels_module); }
