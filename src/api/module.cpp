// The _quillet extension module: its definition, and the exec step that
// registers the three functions and the three flag constants in __all__.
#include <array>
#include <string_view>

#include "api/module_functions.hpp"
#include "api/module_registration.hpp"
#include "api/py_ref.hpp"
#include "gaussian/fit_result.hpp"

namespace quillet::api {
namespace {

int exec_quillet(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "_quillet can only be executed on a module object");
    return -1;
  }
  for (PyMethodDef* method :
       {&fit_single_spectrum_method, &fit_gaussian_f32_method, &fit_spectra_batch_guided_method}) {
    if (add_function(module, method) < 0) return -1;
  }
  if (add_float_constant(module, "FLAG_SUCCESS", kFlagSuccess) < 0 ||
      add_float_constant(module, "FLAG_NO_LOCAL_MAX", kFlagNoLocalMax) < 0 ||
      add_float_constant(module, "FLAG_NO_CONVERGENCE", kFlagNoConvergence) < 0) {
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
