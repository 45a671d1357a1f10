// A steady clock that tests move by hand, installed for one test's scope.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/steady_clock.h"

namespace dovrin::testing {

class ManualClock {
 public:
  explicit ManualClock(uint64_t start_ms = 1'000'000) : now_(start_ms) {
    rtc_probe::set_steady_clock(&ManualClock::read, this);
  }
  ~ManualClock() { rtc_probe::set_steady_clock(nullptr, nullptr); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  uint64_t now() const { return now_.load(std::memory_order_relaxed); }
  void set(uint64_t ms) { now_.store(ms, std::memory_order_relaxed); }
  void advance(uint64_t ms) { now_.fetch_add(ms, std::memory_order_relaxed); }

 private:
  static uint64_t read(void* self) noexcept {
    return static_cast<ManualClock*>(self)->now_.load(std::memory_order_relaxed);
  }
  std::atomic<uint64_t> now_;
};

}  // namespace dovrin::testing
