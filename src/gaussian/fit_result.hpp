#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace quillet {

inline constexpr float kFlagSuccess = 0.0f;
inline constexpr float kFlagNoLocalMax = 1.0f;
inline constexpr float kFlagNoConvergence = 2.0f;

// The quiet NaN every failed row carries: sign clear, exponent all ones, only
// the top mantissa bit set. One fixed pattern, so rows compare bit for bit.
inline constexpr float kResultNaN = std::bit_cast<float>(std::uint32_t{0x7fc00000});

// One fit's row: amplitude, centre, sigma, their errors, reduced chi-square,
// flag. Unless the flag is kFlagSuccess the first seven values are kResultNaN.
struct FitResult {
  std::array<float, 8> values;

  static constexpr FitResult failure(float flag) {
    return {
        {kResultNaN, kResultNaN, kResultNaN, kResultNaN, kResultNaN, kResultNaN, kResultNaN, flag}};
  }
};

}  // namespace quillet
