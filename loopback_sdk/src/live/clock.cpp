#include "clock.h"

#include <algorithm>
#include <thread>

namespace loopback::live_mode {

void Clock::restart(bool virtual_time, uint64_t start_ms) {
  std::lock_guard lock(mutex_);
  virtual_ = virtual_time;
  origin_ = std::chrono::steady_clock::now();
  start_ms_ = start_ms;
  now_ = start_ms;
  target_ = start_ms;
  deadlines_.clear();
  stopped_ = false;
}

uint64_t Clock::now_ms() const {
  std::lock_guard lock(mutex_);
  if (!virtual_) {
    const auto elapsed = std::chrono::steady_clock::now() - origin_;
    return start_ms_ + static_cast<uint64_t>(
                           std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  }
  return now_;
}

void Clock::enter() {
  std::lock_guard lock(mutex_);
  ++participants_;
}

void Clock::leave() {
  std::lock_guard lock(mutex_);
  --participants_;
  advance_locked();
  changed_.notify_all();
}

bool Clock::wait_until(uint64_t deadline_ms, const std::atomic<bool>& cancel) {
  std::unique_lock lock(mutex_);
  const auto gone = [&] { return stopped_ || cancel.load(std::memory_order_acquire); };
  if (!virtual_) {
    const auto at = origin_ + std::chrono::milliseconds(deadline_ms - std::min(deadline_ms, start_ms_));
    changed_.wait_until(lock, at, gone);
    return !gone();
  }
  auto mine = deadlines_.insert(deadline_ms);
  advance_locked();
  changed_.notify_all();
  changed_.wait(lock, [&] { return gone() || now_ >= deadline_ms; });
  deadlines_.erase(mine);
  return !gone();
}

void Clock::poke() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

void Clock::advance_locked() {
  if (!virtual_ || stopped_) return;
  if (deadlines_.size() != static_cast<size_t>(participants_)) return;
  const uint64_t earliest = deadlines_.empty() ? UINT64_MAX : *deadlines_.begin();
  if (earliest <= now_) return;  // a participant is due and about to run
  const uint64_t next = std::min(earliest, target_);
  if (next > now_) now_ = next;
}

bool Clock::settled_locked() const {
  if (deadlines_.size() != static_cast<size_t>(participants_)) return false;
  return deadlines_.empty() || *deadlines_.begin() > now_;
}

void Clock::run_to(uint64_t target_ms) {
  std::unique_lock lock(mutex_);
  if (target_ms <= now_) return;
  if (target_ms > target_) target_ = target_ms;
  advance_locked();
  changed_.notify_all();
  changed_.wait(lock, [&] {
    if (stopped_) return true;
    return now_ >= target_ms && settled_locked();
  });
}

void Clock::run_for(uint64_t ms) {
  if (!is_virtual()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  uint64_t from;
  {
    std::lock_guard lock(mutex_);
    from = now_;
  }
  run_to(from + ms);
}

void Clock::run_until(uint64_t deadline_ms) {
  if (!is_virtual()) {
    const uint64_t now = now_ms();
    if (deadline_ms > now) std::this_thread::sleep_for(std::chrono::milliseconds(deadline_ms - now));
    return;
  }
  run_to(deadline_ms);
}

void Clock::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
}

}  // namespace loopback::live_mode
