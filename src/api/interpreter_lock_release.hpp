#pragma once

#include "api/py_ref.hpp"

namespace quillet::api {

// Releases the interpreter lock for the lifetime of the guard and takes it
// back on every exit, including an exception unwinding through it, so that
// whatever handles the exception runs with the lock held again. Code under
// the guard must not touch any Python object.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockRelease() { PyEval_RestoreThread(state_); }
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace quillet::api
