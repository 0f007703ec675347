#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace quillet {

// An array as the binding layer hands it to a body: its data pointer, shape
// and the two layout flags that decide whether it may be read as one flat
// sequence. The array itself stays referenced by the caller. The fits take
// float32 arrays (ArrayView); the line fit also int32 and one-byte flags.
template <class T>
struct BasicArrayView {
  const T* data = nullptr;
  int ndim = 1;
  std::array<std::int64_t, 2> shape{0, 1};  // shape[1] is 1 for a 1-D array
  bool aligned = true;
  bool c_contiguous = true;

  std::int64_t element_count() const { return ndim == 2 ? shape[0] * shape[1] : shape[0]; }

  // The contiguity test: an empty array passes and reads as an empty
  // sequence; any other passes only when aligned, row-major contiguous and
  // backed by a real pointer, and then reads as element_count() floats.
  std::optional<std::span<const T>> flat() const {
    const std::int64_t count = element_count();
    if (count == 0) return std::span<const T>{};
    if (!aligned || !c_contiguous || data == nullptr) return std::nullopt;
    return std::span<const T>(data, static_cast<std::size_t>(count));
  }
};

using ArrayView = BasicArrayView<float>;

}  // namespace quillet
