#include "steady_clock.h"

#include <atomic>
#include <chrono>

namespace dovrin::rtc_probe {
namespace {

uint64_t system_steady_ms(void*) noexcept {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The source and its context are published as one pair: a reader that saw
// the new source must also see its context, hence release/acquire on source.
std::atomic<ClockSource> clock_source{&system_steady_ms};
std::atomic<void*> clock_context{nullptr};

}  // namespace

uint64_t steady_clock_ms() noexcept {
  ClockSource source = clock_source.load(std::memory_order_acquire);
  return source(clock_context.load(std::memory_order_relaxed));
}

void set_steady_clock(ClockSource source, void* context) noexcept {
  clock_context.store(context, std::memory_order_relaxed);
  clock_source.store(source ? source : &system_steady_ms, std::memory_order_release);
}

}  // namespace dovrin::rtc_probe
