// Bounded single-producer single-consumer ring of plain values.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace dovrin::rtc_probe {

inline constexpr size_t kCacheLine = 64;

// Contract: exactly one producer thread and one consumer thread at a time.
//   producer: push() only; owns tail_, reads head_.
//   consumer: pop() only; owns head_, reads tail_.
//   either:   size(), a snapshot that may be stale when it is used.
// The producer fills slots_[tail_] and publishes it with a release store of
// tail_; the consumer's acquire load of tail_ makes the slot visible, and its
// release store of head_ hands the slot back to the producer's acquire load.
// Nothing else synchronises the sides, so a second producer or consumer must
// be excluded by the owner. Never allocates, locks or blocks.
//
// One slot stays empty so that full and empty differ: N + 1 slots hold at
// most N items. head_ and tail_ each sit alone on a cache line so that the
// two sides' stores do not contend for one line.
template <class Item, size_t N>
class alignas(kCacheLine) Ring {
  static_assert(N > 0);
  static_assert(std::is_trivially_copyable_v<Item>, "slots are copied as plain values");

 public:
  static constexpr size_t capacity = N;

  Ring() noexcept {
    static_assert(alignof(Ring) == kCacheLine);
    static_assert(sizeof(Ring) % kCacheLine == 0);
    static_assert(offsetof(Ring, head_) % kCacheLine == 0);
    static_assert(offsetof(Ring, tail_) == offsetof(Ring, head_) + kCacheLine);
    static_assert(offsetof(Ring, head_) >= sizeof(slots_), "head_ shares no line with a slot");
    static_assert(std::atomic<uint64_t>::is_always_lock_free);
  }

  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;

  // Producer only. Appends a copy of item unless the ring is full or already
  // holds limit items or more.
  bool push(const Item& item, uint64_t limit) noexcept {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    const uint64_t next = advance(tail);
    const uint64_t head = head_.load(std::memory_order_acquire);
    if (next == head) return false;
    if (count(head, tail) >= limit) return false;
    slots_[tail] = item;
    tail_.store(next, std::memory_order_release);
    return true;
  }

  // Consumer only. Moves the oldest item into out; out is untouched when the
  // ring is empty.
  bool pop(Item& out) noexcept {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    const uint64_t tail = tail_.load(std::memory_order_acquire);
    if (head == tail) return false;
    out = slots_[head];
    head_.store(advance(head), std::memory_order_release);
    return true;
  }

  // Either side.
  uint64_t size() const noexcept {
    const uint64_t head = head_.load(std::memory_order_acquire);
    const uint64_t tail = tail_.load(std::memory_order_acquire);
    return count(head, tail);
  }

 private:
  static constexpr uint64_t kSlots = N + 1;

  static constexpr uint64_t advance(uint64_t index) noexcept {
    return index + 1 == kSlots ? 0 : index + 1;
  }
  static constexpr uint64_t count(uint64_t head, uint64_t tail) noexcept {
    return (tail + kSlots - head) % kSlots;
  }

  Item slots_[kSlots]{};
  alignas(kCacheLine) std::atomic<uint64_t> head_{0};  // next slot to read
  alignas(kCacheLine) std::atomic<uint64_t> tail_{0};  // next slot to write
};

// What a producer does when the remote ring is full or busy.
enum class RemoteOverflowPolicy : uint32_t {
  // Full ring or a second producer: a fault that fails the observer.
  fail = 0,
  // Full ring: drop the oldest block and push. Busy ring (second producer or
  // the consumer popping): drop the new frame. Either way one dropped block.
  drop_oldest = 1,
};

}  // namespace dovrin::rtc_probe
