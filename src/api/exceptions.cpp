#include "api/exceptions.hpp"

#include <atomic>

namespace quillet::api {
namespace {

std::atomic<PyObject*> internal_fault_type{nullptr};

// The type is made once and kept for the life of the process. Two threads
// may both make one on their first fault (making a class can run Python code
// and so let another thread in); the first to publish wins and the other
// drops its own.
PyObject* get_internal_fault_type() {
  PyObject* type = internal_fault_type.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyObject* made = PyErr_NewExceptionWithDoc(
      "_quillet.InternalFault",
      "A broken internal invariant of _quillet; never raised for bad input or a failed fit.",
      PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  if (internal_fault_type.compare_exchange_strong(type, made, std::memory_order_acq_rel)) {
    return made;
  }
  Py_DECREF(made);
  return type;
}

}  // namespace

PyRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(traceback);
  Py_DECREF(type);
  return PyRef::steal(value);
#endif
}

void restore_pending_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  if (!exception) return;
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

PyObject* raise_domain_error(const DomainError& error) {
  PyErr_SetString(PyExc_ValueError, error.message);
  return nullptr;
}

void raise_internal_fault(const char* text) {
  if (PyObject* type = get_internal_fault_type()) PyErr_SetString(type, text);
}

void raise_internal_fault_from_pending(const char* prefix) {
  PyRef cause = take_pending_exception();
  if (!cause) {
    raise_internal_fault(prefix);
    return;
  }
  PyObject* type = get_internal_fault_type();
  if (type == nullptr) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s: %S", prefix, cause.get()));
  if (!message) return;
  PyRef fault = PyRef::steal(PyObject_CallOneArg(type, message.get()));
  if (!fault) return;
  PyException_SetCause(fault.get(), cause.release());
  restore_pending_exception(std::move(fault));
}

void raise_result_build_fault() {
  PyErr_WriteUnraisable(nullptr);
  raise_internal_fault("failed to build a result object");
}

}  // namespace quillet::api
