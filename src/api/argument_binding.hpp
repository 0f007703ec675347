#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <span>

#include "api/py_ref.hpp"

namespace quillet::api {

inline constexpr std::size_t kMaxParameters = 20;

// A module function's parameters: all positional-or-keyword, in order, the
// first `required` of them without a default.
class Signature {
 public:
  constexpr Signature(const char* function, std::span<const char* const> names,
                      std::size_t required)
      : function_(function), names_(names), required_(required) {}
  Signature(const Signature&) = delete;
  Signature& operator=(const Signature&) = delete;

  const char* function() const { return function_; }
  const char* name(std::size_t index) const { return names_[index]; }
  std::size_t size() const { return names_.size(); }
  std::size_t required() const { return required_; }

  // The names as interned str objects, made on the first call and kept for
  // the life of the process, so that a keyword is usually matched by
  // identity. Null with an exception pending if they cannot be made.
  PyObject* const* interned_names() const;

 private:
  const char* function_;
  std::span<const char* const> names_;
  std::size_t required_;
  mutable std::atomic<PyObject**> interned_{nullptr};
};

// The object bound to each parameter, borrowed from the call (the caller
// keeps it alive until the call returns); null where the argument is absent.
using BoundArguments = std::array<PyObject*, kMaxParameters>;

// Binds a vector call's positional arguments and keyword names to the
// parameters of `signature`, with the interpreter's own TypeError for too
// many positional arguments, an unknown keyword, a parameter given twice,
// or required parameters left unbound, checked in that order.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& bound);

}  // namespace quillet::api
