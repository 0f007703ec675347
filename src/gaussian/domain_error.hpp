#pragma once

namespace quillet {

// An input error found by a body before any fitting work. The binding layer
// raises it as ValueError with `message`, a fixed English text.
struct DomainError {
  const char* message;
};

}  // namespace quillet
