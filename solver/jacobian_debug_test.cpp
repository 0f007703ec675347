#include "solver/jacobian_debug.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>

namespace quillet::solver {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(JacobianDebugTest, NumberFormat) {
  const std::pair<double, const char*> cases[] = {
      {0.5, "5.0000e-1"},    {-2, "-2.0000e0"},       {12345.678, "1.2346e4"},
      {0, "0.0000e0"},       {1e-300, "1.0000e-300"}, {-1.23456e-308, "-1.2346e-308"},
      {9.99996, "1.0000e1"}, {kNaN, "NaN"},           {-kNaN, "NaN"},
      {kInf, "inf"},         {-kInf, "-inf"},
  };
  for (const auto& [value, text] : cases) {
    std::array<char, kDebugNumberMax> buffer;
    EXPECT_EQ(format_debug_number(value, buffer), text);
  }
}

TEST(JacobianDebugTest, RowShownWhen) {
  struct Case {
    double u, d, rel, abs;
    bool shown;
  };
  const Case cases[] = {
      {0, 0, 0, 0, false},     {0, 1e-300, 0, 0, true},     {kNaN, 0, 0, 0, true},
      {1, 1, 0, 0, true},      {1, 1.0009, 0, 1e-3, false}, {1, 1.0011, 0, 1e-3, true},
      {2, 2.1, 0.1, 0, false}, {2, 2.3, 0.1, 0, true},      {2, kNaN, 0.1, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(deriv_debug_row_shown(c.u, c.d, c.rel, c.abs), c.shown) << c.u << " " << c.d;
  }
}

TEST(JacobianDebugTest, WideValuesAreNotCut) {
  ::testing::internal::CaptureStderr();
  write_deriv_debug_row(123456789012, -1e-300, 0, kNaN);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "   123456789012 -1.0000e-300   0.0000e0        NaN        NaN   0.0000e0\n");
}

}  // namespace
}  // namespace quillet::solver
