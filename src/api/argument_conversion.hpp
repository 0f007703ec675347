#pragma once

#include <cstddef>
#include <cstdint>

#include "api/argument_binding.hpp"
#include "api/py_ref.hpp"
#include "gaussian/array_view.hpp"

namespace quillet::api {

// A float32 NumPy array argument: the array, referenced until the call
// returns (the batch reads it without the interpreter lock), and the view of
// it that a body reads. The array is never copied or written.
template <class T>
struct BasicArrayArgument {
  PyRef array;
  BasicArrayView<T> view;
};
using ArrayArgument = BasicArrayArgument<float>;

// Turns bound arguments into the values a body takes, one parameter at a
// time. The caller converts strictly in parameter order and stops at the
// first failure, so no later argument is looked at. A TypeError from a
// conversion is re-raised as "argument '<name>': <message>" with the same
// __cause__; any other exception (OverflowError, an internal fault) passes
// unchanged.
class ArgumentConverter {
 public:
  ArgumentConverter(const Signature& signature, const BoundArguments& bound)
      : signature_(signature), bound_(bound) {}

  // A numpy.ndarray (or subclass) with `ndim` dimensions and elements
  // equivalent to native float32.
  bool array(std::size_t index, int ndim, ArrayArgument& out) const;
  // The same for int32 elements, and for one-byte flags (bool or uint8);
  // any other argument is a TypeError naming the element type wanted.
  bool int32_array(std::size_t index, int ndim, BasicArrayArgument<std::int32_t>& out) const;
  bool flag_array(std::size_t index, int ndim, BasicArrayArgument<std::uint8_t>& out) const;
  // The same for float64 elements.
  bool float64_array(std::size_t index, int ndim, BasicArrayArgument<double>& out) const;
  // A 1-D or 2-D array of float32 or float64 elements, in `narrow` or
  // `wide` as its elements are (the other is left empty).
  bool float_array_of_either(std::size_t index, ArrayArgument& narrow,
                             BasicArrayArgument<double>& wide) const;
  // Whether an optional argument is left out or None.
  bool absent(std::size_t index) const {
    return bound_[index] == nullptr || bound_[index] == Py_None;
  }
  // A real number rounded to the nearest float32 (overflow gives infinity).
  bool real(std::size_t index, float& out) const;
  // As real(), with `fallback` when the argument is absent (not when None).
  bool real_or(std::size_t index, float fallback, float& out) const;
  // A real number kept in double precision.
  bool real64(std::size_t index, double& out) const;
  // Integers through the interpreter's integer protocol; floats refused.
  bool int32(std::size_t index, std::int32_t& out) const;
  bool int64(std::size_t index, std::int64_t& out) const;
  bool int64_or(std::size_t index, std::int64_t fallback, std::int64_t& out) const;

 private:
  // Rewrites a pending TypeError with the parameter's name; returns false.
  bool fail(std::size_t index) const;

  const Signature& signature_;
  const BoundArguments& bound_;
};

}  // namespace quillet::api
