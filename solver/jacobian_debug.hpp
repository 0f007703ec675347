#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace quillet::solver {

// The derivative debug print: for each debugged parameter, the model's
// derivative beside the finite-difference one, row by row, on standard
// error. Each line goes out in one write, so lines from concurrent runs may
// interleave but are never torn.

// Longest text `format_debug_number` produces: "-1.2345e-308".
inline constexpr std::size_t kDebugNumberMax = 12;

// Writes `value` as the print shows it: four digits after the point, a
// lower-case e and the exponent without '+' or leading zeros (0.5 is
// "5.0000e-1", -2 is "-2.0000e0"); "NaN", "inf", "-inf". Returns the text,
// which lives in `buffer`.
std::string_view format_debug_number(double value, std::span<char, kDebugNumberMax> buffer);

// Whether row i of a debugged parameter is printed: with both tolerances 0
// when either derivative is nonzero (NaN counts as nonzero), otherwise when
// |u - d| > |u| * rel_tol + abs_tol.
bool deriv_debug_row_shown(double model_deriv, double numeric_deriv, double rel_tol,
                           double abs_tol);

// "FJAC DEBUG BEGIN" and the column header.
void write_deriv_debug_begin();

// "FJAC PARM p", p being the index in the full parameter list.
void write_deriv_debug_param(std::size_t param);

// One row: residual, model derivative u, numeric derivative d, u - d and
// (u - d) / u (0 when u is 0).
void write_deriv_debug_row(std::size_t row, double residual, double model_deriv,
                           double numeric_deriv);

// "FJAC DEBUG END".
void write_deriv_debug_end();

}  // namespace quillet::solver
