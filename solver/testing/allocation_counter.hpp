// Counts every heap allocation of the test binary that includes this header:
// it replaces the global operator new, in every form a run could reach, so
// that no allocator (a sanitizer's included) serves one uncounted. Include it
// in exactly one file of a test binary.
#ifndef QUILLET_TESTING
#error "test support: only test targets, which link quillet_testing, include this header"
#endif
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace quillet::test_support {

// Atomic: tests may allocate from worker threads.
inline std::atomic<std::size_t> allocation_count{0};

inline std::size_t allocations() { return allocation_count.load(std::memory_order_relaxed); }

inline void* counted_alloc(std::size_t n) noexcept {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n == 0 ? 1 : n);
}

inline void* counted_or_throw(std::size_t n) {
  if (void* p = counted_alloc(n)) return p;
  throw std::bad_alloc();
}

}  // namespace quillet::test_support

void* operator new(std::size_t n) { return quillet::test_support::counted_or_throw(n); }
void* operator new[](std::size_t n) { return quillet::test_support::counted_or_throw(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return quillet::test_support::counted_alloc(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return quillet::test_support::counted_alloc(n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
