// Helpers shared by the audio suites: an injected clock, SDK-shaped frames
// with their own storage, and sequence stamps for ordering checks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio/block.h"
#include "audio/duplex_observer.h"
#include "frame/steady_clock.h"

namespace dovrin::rtc_probe {

// Reaches the busy flags so tests can stage contention deterministically.
class DuplexObserverProbe {
 public:
  static std::atomic_flag& capture_busy(DuplexObserver& o) { return o.capture_busy_; }
  static std::atomic_flag& remote_busy(DuplexObserver& o) { return o.remote_busy_; }
  static std::atomic_flag& remote_pop_busy(DuplexObserver& o) { return o.remote_pop_busy_; }
  static std::atomic_flag& playback_busy(DuplexObserver& o) { return o.playback_busy_; }
};

namespace testing {

// Names parameterised cases after their `name` member.
struct CaseName {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& param_info) const {
    return param_info.param.name;
  }
};

// Replaces the library's steady clock for the life of the object.
class ManualClock {
 public:
  explicit ManualClock(uint64_t start_ms = 50000) : now_(start_ms) { set_steady_clock(&read, this); }
  ~ManualClock() { set_steady_clock(nullptr, nullptr); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  void advance(uint64_t ms) { now_.fetch_add(ms, std::memory_order_relaxed); }
  void set(uint64_t ms) { now_.store(ms, std::memory_order_relaxed); }
  // What audio_monotonic_ms() answers now.
  uint64_t monotonic() const { return now_.load(std::memory_order_relaxed) + 1; }

 private:
  static uint64_t read(void* context) noexcept {
    return static_cast<ManualClock*>(context)->now_.load(std::memory_order_relaxed);
  }
  std::atomic<uint64_t> now_;
};

// An SDK frame over storage it owns; the storage is larger than any frame
// the tests describe, so malformed shapes never overrun it.
struct TestFrame {
  using AudioFrame = DuplexObserver::AudioFrame;
  static constexpr size_t kStorageSamples = 9600 + 64;

  TestFrame(int channels, int rate, int samples_per_channel) : storage(kStorageSamples, 0) {
    frame.type = 0;
    frame.channels = channels;
    frame.samplesPerSec = rate;
    frame.samplesPerChannel = samples_per_channel;
    frame.bytesPerSample = 2;
    frame.buffer = storage.data();
  }
  TestFrame(const TestFrame&) = delete;
  TestFrame& operator=(const TestFrame&) = delete;

  static TestFrame mono() { return TestFrame(1, 48000, 480); }
  static TestFrame stereo() { return TestFrame(2, 48000, 960 / 2); }

  // Stamps seq over the frame's channels * samplesPerChannel samples, or
  // reads it back, checked untorn.
  void stamp(uint32_t seq);
  uint32_t seq() const;

  void fill(int16_t value) {
    for (auto& s : storage) s = value;
  }
  bool silent(size_t from, size_t to) const {
    for (size_t i = from; i < to; ++i) {
      if (storage[i] != 0) return false;
    }
    return true;
  }

  std::vector<int16_t> storage;
  AudioFrame frame;
};

inline int16_t stamp_value(uint32_t seq, size_t index) {
  return static_cast<int16_t>(static_cast<uint16_t>(seq * 31u + index * 7u + 1u));
}

// Writes seq into the first two samples and a seq-derived pattern after them.
inline void stamp(int16_t* samples, size_t count, uint32_t seq) {
  samples[0] = static_cast<int16_t>(seq & 0xFFFFu);
  samples[1] = static_cast<int16_t>(seq >> 16);
  for (size_t i = 2; i < count; ++i) samples[i] = stamp_value(seq, i);
}

// The stamped sequence number; false when the pattern is torn.
inline bool read_stamp(const int16_t* samples, size_t count, uint32_t& seq) {
  seq = static_cast<uint32_t>(static_cast<uint16_t>(samples[0])) |
        (static_cast<uint32_t>(static_cast<uint16_t>(samples[1])) << 16);
  for (size_t i = 2; i < count; ++i) {
    if (samples[i] != stamp_value(seq, i)) return false;
  }
  return true;
}

inline void TestFrame::stamp(uint32_t seq) {
  testing::stamp(storage.data(),
                 static_cast<size_t>(frame.samplesPerChannel) * static_cast<size_t>(frame.channels),
                 seq);
}

inline uint32_t TestFrame::seq() const {
  uint32_t value = 0;
  EXPECT_TRUE(read_stamp(storage.data(),
                         static_cast<size_t>(frame.samplesPerChannel) *
                             static_cast<size_t>(frame.channels),
                         value))
      << "torn frame";
  return value;
}

// The sequence number stamped into a block's valid samples, checked untorn.
inline uint32_t seq_of(const Block& block) {
  uint32_t seq = 0;
  EXPECT_TRUE(read_stamp(block.samples, kBlockFrames * block.channels, seq)) << "torn block";
  return seq;
}

inline Block stamped_block(uint64_t epoch, uint32_t channels, uint32_t seq) {
  Block block;
  block.epoch = epoch;
  block.channels = channels;
  stamp(block.samples, kBlockFrames * channels, seq);
  return block;
}

// The runtime's shape: local capture through the sink, remote policy fail.
inline std::unique_ptr<DuplexObserver> runtime_observer(RenderCallback render = nullptr,
                                                        void* context = nullptr) {
  return std::make_unique<DuplexObserver>("", 0, render, context, RemoteChannelBinding::by_name,
                                          true, RemoteOverflowPolicy::fail, 48000, 1);
}

// A peer's shape: remote user 7 of channel "room".
inline std::unique_ptr<DuplexObserver> peer_observer(
    RemoteOverflowPolicy policy = RemoteOverflowPolicy::drop_oldest,
    RemoteChannelBinding binding = RemoteChannelBinding::by_name, uint32_t uid = 7,
    uint32_t rate = 48000) {
  return std::make_unique<DuplexObserver>("room", uid, nullptr, nullptr, binding, false, policy,
                                          rate, 1);
}

}  // namespace testing
}  // namespace dovrin::rtc_probe
