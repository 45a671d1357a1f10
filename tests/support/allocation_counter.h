// Counts the heap allocations a thread makes, for tests that prove an audio
// path never reaches the heap. A test program that links allocation_counter.cpp
// has every global allocation function replaced by a counting one; counting
// is per thread and only while a window is open, so other threads and the
// test framework do not disturb the figure.
#pragma once

#include <cstddef>
#include <utility>

namespace dovrin::testing {

void begin_counting_allocations() noexcept;
// Ends the window and answers the allocations this thread made in it.
size_t end_counting_allocations() noexcept;
// The next aligned allocation of this thread fails: nothrow forms answer
// null, the others throw std::bad_alloc. Answers whether one is still pending.
void fail_next_aligned_allocation() noexcept;
bool aligned_failure_pending() noexcept;

// Heap allocations made by this thread while `fn` runs.
template <class Fn>
size_t allocations_during(Fn&& fn) {
  begin_counting_allocations();
  std::forward<Fn>(fn)();
  return end_counting_allocations();
}

}  // namespace dovrin::testing
