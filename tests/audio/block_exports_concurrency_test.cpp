// Capture and playback from SDK threads while the host polls, plays and
// switches. Every block the host takes must be of the generation it last
// switched to, and in the order it was produced. Meant for ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/runtime_fixture.h"

namespace {

using dovrin::testing::RuntimeTest;

// A 32-bit sequence number in the first two samples of a block.
void stamp(int16_t* samples, uint32_t sequence) {
  samples[0] = static_cast<int16_t>(sequence >> 16);
  samples[1] = static_cast<int16_t>(sequence & 0xffff);
}
uint32_t stamp_of(const int16_t* samples) {
  return static_cast<uint32_t>(static_cast<uint16_t>(samples[0])) << 16 | static_cast<uint16_t>(samples[1]);
}

class BlockExportsConcurrency : public RuntimeTest {};

TEST_F(BlockExportsConcurrency, GenerationsAndOrderHoldAcrossSwitchings) {
  create();
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 1), 0);
  std::atomic<bool> done{false};
  std::atomic<uint32_t> played_out_of_order{0};
  std::atomic<uint64_t> played_blocks{0};
  // Strict capture fails the runtime when its ring of 20 fills, as it would
  // with a host that stops polling. The host hands out one credit per poll,
  // at most 10 banked, so the ring never holds more than 11 blocks.
  std::atomic<int> credits{10};

  std::thread capture([&] {
    uint32_t sequence = 0;
    while (!done.load(std::memory_order_acquire)) {
      int available = credits.load(std::memory_order_acquire);
      if (available > 0 && credits.compare_exchange_weak(available, available - 1, std::memory_order_acq_rel)) {
        auto frame = dovrin::testing::capture_frame(0);
        stamp(frame.data_, ++sequence);
        loopback::push_pcm(capture_track, frame);
      }
      std::this_thread::yield();
    }
  });
  std::thread playback([&] {
    uint32_t last = 0;
    std::array<int16_t, 960> samples;
    while (!done.load(std::memory_order_acquire)) {
      samples.fill(0);
      loopback::pull_playback(local_user, loopback::FrameFormat{}, samples);
      const uint32_t sequence = stamp_of(samples.data());
      if (sequence != 0) {
        if (sequence <= last) played_out_of_order.fetch_add(1, std::memory_order_relaxed);
        last = sequence;
        played_blocks.fetch_add(1, std::memory_order_relaxed);
      }
      std::this_thread::yield();
    }
  });

  uint64_t generation = 2;
  uint32_t submitted = 0;
  uint64_t captured = 0;
  DovrinRtcAudioBlock block;
  std::array<int16_t, 960> out{};
  for (int round = 0; round < 40; ++round) {
    uint32_t last_capture = 0;
    for (int i = 0; i < 2000; ++i) {
      if (dovrin_rtc_desktop_poll(rtc, 0, &block) == 1) {
        ASSERT_EQ(block.epoch, generation) << "a block of an earlier switching was delivered";
        const uint32_t sequence = stamp_of(block.samples);
        ASSERT_GT(sequence, last_capture) << "capture out of order";
        last_capture = sequence;
        ++captured;
      }
      if (credits.load(std::memory_order_relaxed) < 10) credits.fetch_add(1, std::memory_order_acq_rel);
      stamp(out.data(), submitted + 1);
      if (dovrin_rtc_desktop_play(rtc, out.data(), 480) == 0) ++submitted;
      std::this_thread::yield();
    }
    ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 1), 0) << round;
    ++generation;
  }
  done.store(true, std::memory_order_release);
  capture.join();
  playback.join();

  EXPECT_EQ(played_out_of_order.load(), 0u);
  EXPECT_GT(captured, 0u);
  EXPECT_GT(played_blocks.load(), 0u);
  DovrinRtcAudioHealthSnapshot health;
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.terminal_issue, 0u);
}

}  // namespace
