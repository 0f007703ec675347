#pragma once

#include <cstddef>

namespace quillet {

// A test-only way to make one row job of a batch fail as a broken invariant
// would, so that the road of an internal fault from a worker thread back to
// the Python caller can be walked end to end. It exists only in builds made
// with the CMake option QUILLET_FAULT_INJECTION, which no wheel uses; in every
// other build it is an empty inline function and costs the row job nothing.
#ifdef QUILLET_FAULT_INJECTION
// Throws std::logic_error("injected fault in batch row <row>") when `row` is
// the index held by the environment variable QUILLET_FAULT_ROW. The variable
// is read once, by the first row job of the process.
void inject_row_fault(std::size_t row);
#else
inline void inject_row_fault(std::size_t) {}
#endif

}  // namespace quillet
