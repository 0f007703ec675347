#include "api/result_arrays.hpp"

#include <algorithm>
#include <atomic>
#include <tuple>

#include "api/exceptions.hpp"
#include "api/numpy_api.hpp"

namespace quillet::api {
namespace {

// Owner of one result buffer. NumPy keeps it alive as the array's base and
// drops it with the last array that uses the memory; `release` frees the
// buffer the way it was allocated.
struct PySliceContainer {
  PyObject_HEAD void* start;
  std::size_t length;
  std::size_t capacity;
  void (*release)(void* start, std::size_t length, std::size_t capacity);
};

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<PySliceContainer*>(self);
  PyTypeObject* type = Py_TYPE(self);
  container->release(container->start, container->length, container->capacity);
  PyBaseObject_Type.tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory of a _quillet result array.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "_quillet.PySliceContainer",
    sizeof(PySliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

std::atomic<PyTypeObject*> slice_container_type{nullptr};

// Made on the first result and kept for the life of the process; if two
// threads race to make it, the first to publish wins.
PyTypeObject* get_slice_container_type() {
  PyTypeObject* type = slice_container_type.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  auto* made = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slice_container_spec));
  if (made == nullptr) return nullptr;
  if (slice_container_type.compare_exchange_strong(type, made, std::memory_order_acq_rel)) {
    return made;
  }
  Py_DECREF(made);
  return type;
}

constexpr npy_intp kFitResultWidth = std::tuple_size_v<decltype(FitResult::values)>;

template <class T>
void release_array(void* start, std::size_t, std::size_t) {
  delete[] static_cast<T*>(start);
}

// A container owning `buffer` of `length` elements.
template <class T>
PyRef own_buffer(std::unique_ptr<T[]> buffer, std::size_t length) {
  PyTypeObject* type = get_slice_container_type();
  if (type == nullptr) return {};
  PyRef container = PyRef::steal(type->tp_alloc(type, 0));
  if (!container) return {};
  auto* fields = reinterpret_cast<PySliceContainer*>(container.get());
  fields->start = buffer.release();
  fields->length = length;
  fields->capacity = length;
  fields->release = &release_array<T>;
  return container;
}

// An array of `ndim` dimensions of `typenum` elements over `buffer`, which it
// then owns. `shape[1]` is ignored for ndim 1. An empty array has strides 0.
template <class T>
PyRef array_over(std::unique_ptr<T[]> buffer, int typenum, int ndim, const npy_intp* shape) {
  // NumPy allocates memory of its own for a null data pointer, which would
  // leave the result detached from its owner.
  if (buffer == nullptr) {
    raise_internal_fault("result buffer is missing");
    return {};
  }
  if (!ensure_numpy_api()) return {};
  const npy_intp count = ndim == 2 ? shape[0] * shape[1] : shape[0];
  const npy_intp element = static_cast<npy_intp>(sizeof(T));
  npy_intp strides[2] = {ndim == 2 ? shape[1] * element : element, element};
  if (count == 0) std::fill(strides, strides + 2, 0);

  void* data = buffer.get();
  PyRef owner = own_buffer(std::move(buffer), static_cast<std::size_t>(count));
  if (!owner) return {};
  PyArray_Descr* descr = PyArray_DescrFromType(typenum);
  if (descr == nullptr) return {};
  // Steals `descr`; with explicit strides and a data pointer NumPy neither
  // copies nor takes ownership, and sets the contiguity and alignment flags.
  PyRef array =
      PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, const_cast<npy_intp*>(shape),
                                        strides, data, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return {};
  // Steals `owner`, also when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) {
    return {};
  }
  return array;
}

}  // namespace

PyRef fit_result_array(const FitResult& result) {
  auto buffer = std::make_unique<float[]>(kFitResultWidth);
  std::copy(result.values.begin(), result.values.end(), buffer.get());
  const npy_intp shape[1] = {kFitResultWidth};
  return array_over(std::move(buffer), NPY_FLOAT32, 1, shape);
}

PyRef fit_rows_array(std::unique_ptr<float[]> buffer, std::size_t rows) {
  return float_rows_array(std::move(buffer), rows, kFitResultWidth);
}

PyRef float_rows_array(std::unique_ptr<float[]> buffer, std::size_t rows, std::size_t width) {
  const npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(width)};
  return array_over(std::move(buffer), NPY_FLOAT32, 2, shape);
}

PyRef window_rows_array(std::unique_ptr<std::int32_t[]> buffer, std::size_t rows) {
  const npy_intp shape[2] = {static_cast<npy_intp>(rows), 2};
  return array_over(std::move(buffer), NPY_INT32, 2, shape);
}

PyRef float64_array(std::unique_ptr<double[]> buffer, std::size_t count) {
  const npy_intp shape[1] = {static_cast<npy_intp>(count)};
  return array_over(std::move(buffer), NPY_FLOAT64, 1, shape);
}

PyRef float32_array(std::unique_ptr<float[]> buffer, std::size_t count) {
  const npy_intp shape[1] = {static_cast<npy_intp>(count)};
  return array_over(std::move(buffer), NPY_FLOAT32, 1, shape);
}

PyRef int32_array(std::unique_ptr<std::int32_t[]> buffer, std::size_t count) {
  const npy_intp shape[1] = {static_cast<npy_intp>(count)};
  return array_over(std::move(buffer), NPY_INT32, 1, shape);
}

}  // namespace quillet::api
