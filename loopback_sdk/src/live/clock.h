// The live engine's clock: real time, or a lock-step virtual time that moves
// only when every engine thread is parked and a driver asked for more time.
//
// Every engine thread registers as a participant and spends its life in
// wait_until(deadline). In virtual mode time jumps to the earliest deadline
// once all participants wait, never past the target set by run_for(), so the
// driver's own thread sees a frozen world between two run_for() calls and the
// outcome does not depend on scheduling (nor on ThreadSanitizer's slowdown).
// In real-time mode deadlines are steady-clock instants and run_for() sleeps.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

namespace loopback::live_mode {

class Clock {
 public:
  Clock() = default;
  // Starts over; only while no participant is left.
  void restart(bool virtual_time, uint64_t start_ms);
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  bool is_virtual() const {
    std::lock_guard lock(mutex_);
    return virtual_;
  }
  // Milliseconds: virtual time, or the steady clock for real time.
  uint64_t now_ms() const;

  // Participants: engine threads call enter() before their first wait and
  // leave() after their last.
  void enter();
  void leave();
  // Parks the calling participant until `deadline_ms`; false once stop() ran
  // or `cancel` became true (poke() wakes the waiter to look at it).
  bool wait_until(uint64_t deadline_ms, const std::atomic<bool>& cancel);
  void poke();

  // Virtual: lets time run `ms` further and returns when it got there and
  // every participant is parked with a later deadline. Real: sleeps.
  void run_for(uint64_t ms);
  // Virtual only: lets time run until every participant is parked beyond
  // `deadline_ms`.
  void run_until(uint64_t deadline_ms);

  // Wakes every waiter for good.
  void stop();

 private:
  // With mutex_ held: moves virtual time when everyone waits.
  void advance_locked();
  // With mutex_ held: every participant parked beyond the present.
  bool settled_locked() const;
  void run_to(uint64_t target_ms);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool virtual_ = true;
  std::chrono::steady_clock::time_point origin_;
  uint64_t start_ms_ = 0;
  uint64_t now_ = 0;     // virtual time
  uint64_t target_ = 0;  // virtual time may not pass this
  int participants_ = 0;
  bool stopped_ = false;
  std::multiset<uint64_t> deadlines_;  // of the participants parked now
};

}  // namespace loopback::live_mode
