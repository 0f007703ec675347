#pragma once

#include <expected>
#include <optional>
#include <type_traits>
#include <utility>

#include "api/exceptions.hpp"

namespace quillet::api {

// Runs a body that returns std::expected<Value, DomainError> and maps its
// failures to Python: a DomainError becomes ValueError, a C++ exception an
// internal fault (or MemoryError). Returns the value, or nothing with the
// exception pending.
template <class Body>
auto run_body(Body&& body) -> std::optional<typename std::invoke_result_t<Body>::value_type> {
  std::optional<std::invoke_result_t<Body>> outcome;
  if (!guard_internal_faults([&] { outcome.emplace(std::forward<Body>(body)()); })) {
    return std::nullopt;
  }
  if (!outcome->has_value()) {
    raise_domain_error(outcome->error());
    return std::nullopt;
  }
  return std::move(**outcome);
}

}  // namespace quillet::api
