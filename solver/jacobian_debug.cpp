#include "solver/jacobian_debug.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace quillet::solver {
namespace {

constexpr std::size_t kField = 10;

// The decimal digits of `value`, in `digits` (20 hold any size_t).
std::string_view decimal(std::size_t value, std::span<char, 20> digits) {
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  return {digits.data(), static_cast<std::size_t>(end - digits.data())};
}

// One line under construction, on the stack: the print must not allocate
// inside a run.
class Line {
 public:
  void text(std::string_view s) {
    const std::size_t n = std::min(s.size(), buf_.size() - len_);
    std::copy_n(s.data(), n, buf_.data() + len_);
    len_ += n;
  }

  // Right-aligned in a field of ten; longer text is kept whole.
  void field(std::string_view s) {
    for (std::size_t i = s.size(); i < kField; ++i) text(" ");
    text(s);
  }

  void number(double value) {
    std::array<char, kDebugNumberMax> scratch;
    field(format_debug_number(value, scratch));
  }

  void index(std::size_t value) {
    std::array<char, 20> digits;
    field(decimal(value, digits));
  }

  // One write per line, so that a line is never split by other output.
  void write() const { std::fwrite(buf_.data(), 1, len_, stderr); }

 private:
  // Widest line: 3 + 20-digit index + 5 * (1 + 12) + newline.
  std::array<char, 96> buf_;
  std::size_t len_ = 0;
};

}  // namespace

std::string_view format_debug_number(double value, std::span<char, kDebugNumberMax> buffer) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // to_chars writes "d.dddde+XX"; the print wants the exponent bare.
  std::array<char, 16> raw;
  char* const end =
      std::to_chars(raw.data(), raw.data() + raw.size(), value, std::chars_format::scientific, 4)
          .ptr;
  char* digit = std::find(raw.data(), end, 'e') + 1;
  std::size_t len = static_cast<std::size_t>(digit - raw.data());
  std::copy_n(raw.data(), len, buffer.data());
  if (*digit == '-') buffer[len++] = '-';
  if (*digit == '-' || *digit == '+') ++digit;
  while (digit + 1 < end && *digit == '0') ++digit;
  while (digit < end) buffer[len++] = *digit++;
  return {buffer.data(), len};
}

bool deriv_debug_row_shown(double model_deriv, double numeric_deriv, double rel_tol,
                           double abs_tol) {
  if (abs_tol == 0 && rel_tol == 0) return model_deriv != 0 || numeric_deriv != 0;
  return std::fabs(model_deriv - numeric_deriv) > std::fabs(model_deriv) * rel_tol + abs_tol;
}

void write_deriv_debug_begin() {
  Line begin;
  begin.text("FJAC DEBUG BEGIN\n");
  begin.write();
  Line header;
  header.text("#  ");
  header.field("IPNT");
  for (std::string_view label : {"FUNC", "DERIV_U", "DERIV_N", "DIFF_ABS", "DIFF_REL"}) {
    header.text(" ");
    header.field(label);
  }
  header.text("\n");
  header.write();
}

void write_deriv_debug_param(std::size_t param) {
  Line line;
  line.text("FJAC PARM ");
  std::array<char, 20> digits;
  line.text(decimal(param, digits));
  line.text("\n");
  line.write();
}

void write_deriv_debug_row(std::size_t row, double residual, double model_deriv,
                           double numeric_deriv) {
  const double diff = model_deriv - numeric_deriv;
  // A NaN model derivative counts as nonzero and so yields a NaN ratio.
  const double rel = model_deriv == 0 ? 0.0 : diff / model_deriv;
  Line line;
  line.text("   ");
  line.index(row);
  for (double value : {residual, model_deriv, numeric_deriv, diff, rel}) {
    line.text(" ");
    line.number(value);
  }
  line.text("\n");
  line.write();
}

void write_deriv_debug_end() {
  Line line;
  line.text("FJAC DEBUG END\n");
  line.write();
}

}  // namespace quillet::solver
