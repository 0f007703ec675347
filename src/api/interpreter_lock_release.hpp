#pragma once

#include <cxxabi.h>

#include <chrono>
#include <thread>

#include "api/py_ref.hpp"

namespace quillet::api {

// Releases the interpreter lock for the lifetime of the guard and takes it
// back on every exit, including an exception unwinding through it, so that
// whatever handles the exception runs with the lock held again. Code under
// the guard must not touch any Python object.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() : state_(PyEval_SaveThread()) {}
  ~InterpreterLockRelease() {
    try {
      PyEval_RestoreThread(state_);
    } catch (abi::__forced_unwind&) {
      // Before Python 3.14, a thread that wants the lock back while the
      // interpreter is finalizing (a daemon thread whose batch outlived the
      // main thread) is ended by pthread_exit, which unwinds its stack. Let
      // through, that unwinding would run this frame's callers, which drop
      // references without the lock, and end in std::terminate at the first
      // noexcept frame. The thread is parked instead until the process has
      // gone, which is what Python 3.14 itself does.
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace quillet::api
