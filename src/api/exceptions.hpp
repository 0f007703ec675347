#pragma once

#include <exception>
#include <new>

#include "api/py_ref.hpp"
#include "gaussian/domain_error.hpp"

namespace quillet::api {

// Removes the pending exception and returns it (null when none is pending).
PyRef take_pending_exception();
// Makes `exception` the pending exception again.
void restore_pending_exception(PyRef exception);

// Raises a body's input error as ValueError. Returns null, for `return`.
PyObject* raise_domain_error(const DomainError& error);

// Raises the exception that reports a broken internal invariant. Its type
// (`_quillet.InternalFault`) derives directly from BaseException, so that an
// `except Exception` in the caller's code does not mistake a fault of this
// module for a failed fit. The type is created on first use.
void raise_internal_fault(const char* text);

// Replaces the pending exception by an internal fault whose text is
// "<prefix>: <pending exception>" and whose __cause__ is the pending one.
void raise_internal_fault_from_pending(const char* prefix);

// A result object could not be made (memory exhausted). Hands the pending
// error to the interpreter's unraisable hook, then raises an internal fault:
// the call did its work but cannot return it.
void raise_result_build_fault();

// Runs `body`. A C++ exception escaping it becomes a Python exception:
// std::bad_alloc a MemoryError, anything else an internal fault carrying the
// exception's what(). Returns false when that happened.
template <class Body>
bool guard_internal_faults(Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_internal_fault(fault.what());
  } catch (...) {
    raise_internal_fault("unknown internal fault");
  }
  return false;
}

}  // namespace quillet::api
