#include "api/argument_conversion.hpp"

#include <initializer_list>
#include <limits>

#include "api/exceptions.hpp"
#include "api/numpy_api.hpp"

namespace quillet::api {
namespace {

// Narrowing a double to float rounds to nearest and turns a value beyond the
// float range into an infinity only on IEEE-754 types; the bodies' finiteness
// and positivity checks rely on exactly that.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

bool has_elements_of(PyArrayObject* array, int typenum) {
  PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
  if (wanted == nullptr) return false;
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
  Py_DECREF(wanted);
  return equivalent;
}

bool has_float32_elements(PyArrayObject* array) { return has_elements_of(array, NPY_FLOAT32); }

template <class T>
void view_array(PyObject* object, int ndim, BasicArrayArgument<T>& out) {
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  out.array = PyRef::borrow(object);
  out.view.data = static_cast<const T*>(PyArray_DATA(array));
  out.view.ndim = ndim;
  out.view.shape = {PyArray_DIM(array, 0), ndim == 2 ? PyArray_DIM(array, 1) : 1};
  out.view.aligned = PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED);
  out.view.c_contiguous = PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS);
}

// An ndarray of `ndim` dimensions whose elements are equivalent to one of
// `typenums`; otherwise a pending TypeError that names `wanted`.
bool is_array_of(PyObject* object, int ndim, std::initializer_list<int> typenums,
                 const char* wanted) {
  if (PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == ndim) {
    for (const int typenum : typenums) {
      if (has_elements_of(reinterpret_cast<PyArrayObject*>(object), typenum)) return true;
      if (PyErr_Occurred()) return false;
    }
  }
  PyErr_Format(PyExc_TypeError, "expected a %d-dimensional numpy array of %s", ndim, wanted);
  return false;
}

void raise_not_ndarray(PyObject* object) {
  if (object == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'ndarray'");
    return;
  }
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'ndarray'", type_name.get());
}

bool to_double(PyObject* object, double& out) {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  out = PyFloat_AsDouble(object);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_long_long(PyObject* object, long long& out) {
  out = PyLong_AsLongLong(object);
  return !(out == -1 && PyErr_Occurred());
}

}  // namespace

bool ArgumentConverter::fail(std::size_t index) const {
  // Only a plain TypeError is a conversion message to prefix; subclasses and
  // other exceptions are the caller's own and pass as they are.
  if (PyErr_Occurred() != PyExc_TypeError) return false;
  PyRef caught = take_pending_exception();
  PyRef message =
      PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", signature_.name(index), caught.get()));
  if (!message) return false;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return false;
  PyException_SetCause(replacement.get(), PyException_GetCause(caught.get()));
  restore_pending_exception(std::move(replacement));
  return false;
}

bool ArgumentConverter::array(std::size_t index, int ndim, ArrayArgument& out) const {
  if (!ensure_numpy_api()) return false;
  PyObject* object = bound_[index];
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (!PyArray_Check(object) || PyArray_NDIM(array) != ndim) {
    raise_not_ndarray(object);
    return fail(index);
  }
  if (!has_float32_elements(array)) {
    if (!PyErr_Occurred()) raise_not_ndarray(object);
    return fail(index);
  }
  view_array(object, ndim, out);
  return true;
}

bool ArgumentConverter::int32_array(std::size_t index, int ndim,
                                    BasicArrayArgument<std::int32_t>& out) const {
  if (!ensure_numpy_api()) return false;
  if (!is_array_of(bound_[index], ndim, {NPY_INT32}, "int32")) return fail(index);
  view_array(bound_[index], ndim, out);
  return true;
}

bool ArgumentConverter::flag_array(std::size_t index, int ndim,
                                   BasicArrayArgument<std::uint8_t>& out) const {
  if (!ensure_numpy_api()) return false;
  if (!is_array_of(bound_[index], ndim, {NPY_BOOL, NPY_UINT8}, "bool or uint8")) {
    return fail(index);
  }
  view_array(bound_[index], ndim, out);
  return true;
}

bool ArgumentConverter::float64_array(std::size_t index, int ndim,
                                      BasicArrayArgument<double>& out) const {
  if (!ensure_numpy_api()) return false;
  if (!is_array_of(bound_[index], ndim, {NPY_FLOAT64}, "float64")) return fail(index);
  view_array(bound_[index], ndim, out);
  return true;
}

bool ArgumentConverter::float_array_of_either(std::size_t index, ArrayArgument& narrow,
                                              BasicArrayArgument<double>& wide) const {
  if (!ensure_numpy_api()) return false;
  PyObject* object = bound_[index];
  const int ndim =
      PyArray_Check(object) ? PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) : 0;
  if (ndim == 1 || ndim == 2) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (has_float32_elements(array)) {
      view_array(object, ndim, narrow);
      return true;
    }
    if (PyErr_Occurred()) return fail(index);
    if (has_elements_of(array, NPY_FLOAT64)) {
      view_array(object, ndim, wide);
      return true;
    }
    if (PyErr_Occurred()) return fail(index);
  }
  PyErr_SetString(PyExc_TypeError,
                  "expected a 1- or 2-dimensional numpy array of float32 or float64");
  return fail(index);
}

bool ArgumentConverter::real64(std::size_t index, double& out) const {
  if (!to_double(bound_[index], out)) return fail(index);
  return true;
}

bool ArgumentConverter::real(std::size_t index, float& out) const {
  double value = 0.0;
  if (!to_double(bound_[index], value)) return fail(index);
  out = static_cast<float>(value);
  return true;
}

bool ArgumentConverter::real_or(std::size_t index, float fallback, float& out) const {
  if (bound_[index] == nullptr) {
    out = fallback;
    return true;
  }
  return real(index, out);
}

bool ArgumentConverter::int32(std::size_t index, std::int32_t& out) const {
  long long value = 0;
  if (!to_long_long(bound_[index], value)) return fail(index);
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool ArgumentConverter::int64(std::size_t index, std::int64_t& out) const {
  static_assert(sizeof(long long) == sizeof(std::int64_t));
  long long value = 0;
  if (!to_long_long(bound_[index], value)) return fail(index);
  out = value;
  return true;
}

bool ArgumentConverter::int64_or(std::size_t index, std::int64_t fallback,
                                 std::int64_t& out) const {
  if (bound_[index] == nullptr) {
    out = fallback;
    return true;
  }
  return int64(index, out);
}

}  // namespace quillet::api
