#define QUILLET_DEFINE_NUMPY_API
#include "api/numpy_api.hpp"

#include <atomic>
#include <mutex>

#include "api/exceptions.hpp"

namespace quillet::api {
namespace {

std::once_flag table_published;
std::atomic<bool> api_ready{false};

PyRef import_multiarray() {
  PyRef module = PyRef::steal(PyImport_ImportModule("numpy._core.multiarray"));
  if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    module = PyRef::steal(PyImport_ImportModule("numpy.core.multiarray"));
  }
  return module;
}

// The table, or null with an exception pending.
void** load_table() {
  PyRef multiarray = import_multiarray();
  if (!multiarray) return nullptr;
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
    return nullptr;
  }
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
  }
  return table;
}

// Entry 0 of the table reports the ABI version in every NumPy, so it can be
// read before the table is trusted; nothing else is read until this passes.
bool check_abi_version(void** table) {
  const auto abi_version = reinterpret_cast<unsigned int (*)()>(table[0])();
  if (NPY_VERSION < abi_version) {
    PyErr_Format(PyExc_RuntimeError,
                 "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                 static_cast<unsigned int>(NPY_VERSION), abi_version);
    return false;
  }
  return true;
}

// Runs on the published table.
bool check_feature_version_and_byte_order() {
  if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
    PyErr_Format(
        PyExc_RuntimeError,
        "module was compiled against NumPy C-API version 0x%x (NumPy " NPY_FEATURE_VERSION_STRING
        ") but the running NumPy has C-API version 0x%x",
        static_cast<unsigned int>(NPY_FEATURE_VERSION), PyArray_RUNTIME_VERSION);
    return false;
  }
  const int byte_order = PyArray_GetEndianness();
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
  constexpr int kCompiledByteOrder = NPY_CPU_BIG;
#else
  constexpr int kCompiledByteOrder = NPY_CPU_LITTLE;
#endif
  if (byte_order != kCompiledByteOrder) {
    PyErr_SetString(PyExc_RuntimeError,
                    "module compiled for a byte order that differs from the running NumPy's");
    return false;
  }
  return true;
}

bool load_and_check() {
  void** table = load_table();
  if (table == nullptr || !check_abi_version(table)) return false;
  // Loading runs Python code, which may let another thread in to load the
  // same table; that is harmless, since both find the same capsule. What
  // must happen once is the write of the shared table pointer, and that
  // write runs no Python code, so waiting for it cannot deadlock against the
  // interpreter lock.
  std::call_once(table_published, [table] {
    PyArray_API = table;
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  });
  return check_feature_version_and_byte_order();
}

}  // namespace

bool ensure_numpy_api() {
  if (api_ready.load(std::memory_order_acquire)) return true;
  if (!load_and_check()) {
    raise_internal_fault_from_pending("Failed to access NumPy array API capsule");
    return false;
  }
  api_ready.store(true, std::memory_order_release);
  return true;
}

}  // namespace quillet::api
