#include "spectrum/row_fault_injection.hpp"

#ifdef QUILLET_FAULT_INJECTION

#include <charconv>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace quillet {
namespace {

// The row named by QUILLET_FAULT_ROW, a decimal index; nothing when the
// variable is unset or not such a number.
std::optional<std::size_t> faulty_row_from_environment() {
  const char* text = std::getenv("QUILLET_FAULT_ROW");
  if (text == nullptr) return std::nullopt;
  const std::string_view digits(text);
  const char* const end = digits.data() + digits.size();
  std::size_t row = 0;
  const auto [stop, error] = std::from_chars(digits.data(), end, row);
  if (digits.empty() || error != std::errc() || stop != end) return std::nullopt;
  return row;
}

}  // namespace

void inject_row_fault(std::size_t row) {
  // Initialised once, thread-safely, by whichever row job comes first.
  static const std::optional<std::size_t> faulty_row = faulty_row_from_environment();
  if (faulty_row == row) {
    throw std::logic_error("injected fault in batch row " + std::to_string(row));
  }
}

}  // namespace quillet

#endif
