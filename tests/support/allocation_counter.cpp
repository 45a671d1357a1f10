#include "support/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool counting = false;
thread_local size_t allocations = 0;
thread_local bool fail_aligned = false;

void* plain(size_t size) noexcept {
  if (counting) ++allocations;
  return std::malloc(size == 0 ? 1 : size);
}

void* aligned(size_t size, std::align_val_t align) noexcept {
  if (counting) ++allocations;
  if (fail_aligned) {
    fail_aligned = false;
    return nullptr;
  }
  const size_t alignment = static_cast<size_t>(align);
  const size_t rounded = (size + alignment - 1) / alignment * alignment;
  return std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
}

// Out of line, so that the compiler does not pair the replaced operators
// with malloc and free and warn about a mismatch that is not one.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }

}  // namespace

namespace dovrin::testing {

void begin_counting_allocations() noexcept {
  allocations = 0;
  counting = true;
}

size_t end_counting_allocations() noexcept {
  counting = false;
  return allocations;
}

void fail_next_aligned_allocation() noexcept { fail_aligned = true; }
bool aligned_failure_pending() noexcept { return fail_aligned; }

}  // namespace dovrin::testing

void* operator new(size_t size) {
  if (void* p = plain(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return plain(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return plain(size); }
void* operator new(size_t size, std::align_val_t align) {
  if (void* p = aligned(size, align)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t align) { return operator new(size, align); }
void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return aligned(size, align);
}
void* operator new[](size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return aligned(size, align);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
