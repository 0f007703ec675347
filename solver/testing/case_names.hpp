// Readable names for the cases of a parameterised test suite, so that ctest
// lists what a case is about instead of a dump of its bytes.
#ifndef QUILLET_TESTING
#error "test support: only test targets, which link quillet_testing, include this header"
#endif
#pragma once

#include <cctype>
#include <cstddef>
#include <sstream>
#include <string>

namespace quillet::test_support {

// The case's index, then the words of `label` with every character a test
// name may not hold turned into '_' (the index keeps names unique).
inline std::string case_name(std::size_t index, const std::string& label) {
  std::string name = std::to_string(index);
  name += '_';
  for (const char c : label) {
    name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
  }
  return name;
}

// The label of the fields given, each written with operator<<, joined by '_'.
template <class... Fields>
std::string label_of(const Fields&... fields) {
  std::ostringstream out;
  std::size_t k = 0;
  ((out << (k++ == 0 ? "" : "_") << fields), ...);
  return out.str();
}

}  // namespace quillet::test_support
