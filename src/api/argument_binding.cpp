#include "api/argument_binding.hpp"

#include <memory>
#include <string>

namespace quillet::api {
namespace {

constexpr std::size_t kNotFound = kMaxParameters;

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const std::size_t most = signature.size();
  const char* given_verb = given == 1 ? "was" : "were";
  if (signature.required() == most) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given",
                 signature.function(), most, most == 1 ? "" : "s", given, given_verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from %zu to %zu positional arguments but %zd %s given",
                 signature.function(), signature.required(), most, given, given_verb);
  }
}

// "missing 1 required positional argument: 'a'", "... 2 ...: 'a' and 'b'",
// "... 3 ...: 'a', 'b', and 'c'", as the interpreter words it.
void raise_missing(const Signature& signature, const BoundArguments& bound) {
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < signature.required(); ++i) missing_count += bound[i] == nullptr;
  std::string names;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < signature.required(); ++i) {
    if (bound[i] != nullptr) continue;
    ++listed;
    if (listed > 1) {
      if (missing_count > 2) names += ",";
      names += listed == missing_count ? " and " : " ";
    }
    names += "'";
    names += signature.name(i);
    names += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
               signature.function(), missing_count, missing_count == 1 ? "" : "s", names.c_str());
}

// Index of the parameter called `keyword`, kNotFound when there is none, or
// -1 with an exception pending.
Py_ssize_t find_parameter(const Signature& signature, PyObject* const* interned,
                          PyObject* keyword) {
  for (std::size_t i = 0; i < signature.size(); ++i) {
    if (interned[i] == keyword) return static_cast<Py_ssize_t>(i);
  }
  if (!PyUnicode_Check(keyword)) return static_cast<Py_ssize_t>(kNotFound);
  for (std::size_t i = 0; i < signature.size(); ++i) {
    const int order = PyUnicode_Compare(keyword, interned[i]);
    if (order == 0) return static_cast<Py_ssize_t>(i);
    if (order == -1 && PyErr_Occurred()) return -1;
  }
  return static_cast<Py_ssize_t>(kNotFound);
}

}  // namespace

PyObject* const* Signature::interned_names() const {
  PyObject** names = interned_.load(std::memory_order_acquire);
  if (names != nullptr) return names;
  auto made = std::make_unique<PyObject*[]>(names_.size());
  for (std::size_t i = 0; i < names_.size(); ++i) {
    made[i] = PyUnicode_InternFromString(names_[i]);
    if (made[i] == nullptr) {
      for (std::size_t j = 0; j < i; ++j) Py_DECREF(made[j]);
      return nullptr;
    }
  }
  // Another thread may have finished first; keep its copy and drop ours.
  if (interned_.compare_exchange_strong(names, made.get(), std::memory_order_acq_rel)) {
    return made.release();
  }
  for (std::size_t i = 0; i < names_.size(); ++i) Py_DECREF(made[i]);
  return names;
}

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArguments& bound) {
  bound.fill(nullptr);
  if (nargs > static_cast<Py_ssize_t>(signature.size())) {
    raise_too_many_positional(signature, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (keyword_count > 0) {
    PyObject* const* interned = signature.interned_names();
    if (interned == nullptr) return false;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
      const Py_ssize_t found = find_parameter(signature, interned, keyword);
      if (found < 0) return false;
      const auto index = static_cast<std::size_t>(found);
      if (index == kNotFound) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                     signature.function(), keyword);
        return false;
      }
      if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                     signature.function(), signature.name(index));
        return false;
      }
      bound[index] = args[nargs + k];
    }
  }

  for (std::size_t i = 0; i < signature.required(); ++i) {
    if (bound[i] == nullptr) {
      raise_missing(signature, bound);
      return false;
    }
  }
  return true;
}

}  // namespace quillet::api
