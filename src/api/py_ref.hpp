#pragma once

// Every file of the binding layer includes the interpreter's headers through
// this one, so that Py_ssize_t-sized formats are in force everywhere.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillet::api {

// One strong reference to a Python object, dropped when the holder goes out
// of scope, so that every exit of a function releases what it took.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (null stands for a failed call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef dropped(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller, e.g. as a function's return value.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quillet::api
