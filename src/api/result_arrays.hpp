#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "api/py_ref.hpp"
#include "gaussian/fit_result.hpp"

namespace quillet::api {

// The result arrays of the module functions. Each is a new, writeable,
// C-contiguous NumPy array made over a buffer without copying it; the buffer
// is owned by a PySliceContainer set as the array's base, so it is freed
// exactly when the last array using it goes. All return null with an
// exception pending on failure, and free the buffer then too.

// One FitResult as a float32 array of shape (8,).
PyRef fit_result_array(const FitResult& result);

// `rows` FitResults, row-major, as a float32 array of shape (rows, 8).
PyRef fit_rows_array(std::unique_ptr<float[]> buffer, std::size_t rows);

// `rows` rows of `width` floats, row-major, as a float32 array of shape (rows, width).
PyRef float_rows_array(std::unique_ptr<float[]> buffer, std::size_t rows, std::size_t width);

// `rows` windows (i_left, i_right), row-major, as an int32 array of shape (rows, 2).
PyRef window_rows_array(std::unique_ptr<std::int32_t[]> buffer, std::size_t rows);

// `count` float64 values as an array of shape (count,).
PyRef float64_array(std::unique_ptr<double[]> buffer, std::size_t count);

// `count` float32 values, or int32 values, as an array of shape (count,).
PyRef float32_array(std::unique_ptr<float[]> buffer, std::size_t count);
PyRef int32_array(std::unique_ptr<std::int32_t[]> buffer, std::size_t count);

}  // namespace quillet::api
