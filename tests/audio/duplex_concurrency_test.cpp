// Drives every audio path from its own thread while a consumer takes and
// submits blocks and a host thread keeps re-authorising. Meant to run under
// ThreadSanitizer as well as natively.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "audio/duplex_observer.h"
#include "audio_test_support.h"

namespace dovrin::rtc_probe {
namespace {

using testing::ManualClock;
using testing::read_stamp;
using testing::stamp;
using testing::stamped_block;
using testing::TestFrame;

constexpr int kSwitches = 400;
// Fixed work between switchings: neither sleeping nor waiting on another
// thread, so the run length does not depend on the scheduler's time slices.
constexpr int kSpinsPerSwitch = 20000;
constexpr int kTailFrames = 300;  // each audio thread's frames after the last switching

// What one consumer of a stream saw; checked on the main thread at the end.
struct StreamCheck {
  uint64_t delivered = 0;
  uint64_t out_of_order = 0;
  uint64_t torn = 0;
  uint64_t wrong_generation = 0;
  int64_t last_seq = -1;

  void see(const int16_t* samples, size_t count, uint64_t epoch, uint64_t before, uint64_t after) {
    uint32_t seq = 0;
    if (!read_stamp(samples, count, seq)) ++torn;
    if (static_cast<int64_t>(seq) <= last_seq) ++out_of_order;
    // The generation that take_current compared against lies between the
    // two readings, since generations only grow.
    if (epoch < before || epoch > after) ++wrong_generation;
    last_seq = seq;
    ++delivered;
  }
  void expect_clean(const char* name) const {
    EXPECT_GT(delivered, 0u) << name;
    EXPECT_EQ(out_of_order, 0u) << name;
    EXPECT_EQ(torn, 0u) << name;
    EXPECT_EQ(wrong_generation, 0u) << name;
  }
};

TEST(DuplexObserverConcurrencyTest, DeliveredBlocksAreCurrentAndInOrder) {
  ManualClock clock;  // time stands still: budget windows never run out
  auto observer = std::make_unique<DuplexObserver>("room", 7, nullptr, nullptr,
                                                   RemoteChannelBinding::by_name, true,
                                                   RemoteOverflowPolicy::drop_oldest, 48000, 1);
  ASSERT_TRUE(observer->configure_capture_ms(5000));
  ASSERT_TRUE(observer->authorize(2, true, true));

  std::atomic<bool> host_done{false};
  std::atomic<int> audio_running{3};
  // Generation of each submitted playback block, by its sequence number;
  // written before the submit that publishes the block through the ring.
  std::vector<uint64_t> playback_epochs(1u << 20, 0);

  // `taken` reads the producer's frame counter: the tail goes on (boundedly)
  // until a frame of the last generation got into the ring, which on a
  // loaded machine may be full of stale blocks the consumer had no time for.
  auto produce = [&](auto deliver, auto taken) {
    TestFrame frame = TestFrame::mono();
    auto* samples = static_cast<int16_t*>(frame.frame.buffer);
    uint32_t seq = 0;
    int tail = 0;
    uint64_t taken_at_done = 0;
    while (tail < kTailFrames ||
           (taken() == taken_at_done && tail < 100 * kTailFrames * kTailFrames)) {
      if (host_done.load(std::memory_order_acquire)) {
        if (tail == 0) taken_at_done = taken();
        ++tail;
      }
      stamp(samples, 480, seq++);
      deliver(frame.frame);
      if (tail >= kTailFrames) std::this_thread::yield();
    }
    audio_running.fetch_sub(1, std::memory_order_acq_rel);
  };
  std::atomic<uint64_t> capture_progress{0};
  std::thread capture([&] {
    produce(
        [&](auto& f) {
          observer->capture_frame(f);
          capture_progress.fetch_add(1, std::memory_order_relaxed);
        },
        [&] { return observer->stats().captured_frames; });
  });
  std::thread remote([&] {
    produce([&](auto& f) { observer->onPlaybackAudioFrameBeforeMixing("room", 7u, f); },
            [&] { return observer->stats().remote_frames; });
  });

  StreamCheck played;
  std::thread playback([&] {
    TestFrame out = TestFrame::stereo();
    int tail = 0;
    bool played_in_tail = false;
    // The consumer may not have been scheduled during the tail on a loaded
    // machine; keep pulling (boundedly) until one block of the last
    // generation has come through.
    while (tail < kTailFrames || (!played_in_tail && tail < 100 * kTailFrames * kTailFrames)) {
      if (host_done.load(std::memory_order_acquire)) ++tail;
      out.fill(0);
      const uint64_t before = observer->epoch();
      observer->onPlaybackAudioFrame("", out.frame);
      const uint64_t after = observer->epoch();
      if (out.silent(0, 960)) {
        std::this_thread::yield();
        continue;
      }
      if (tail > 0) played_in_tail = true;
      uint32_t seq = 0;
      read_stamp(out.storage.data(), 960, seq);
      played.see(out.storage.data(), 960, playback_epochs[seq % playback_epochs.size()], before,
                 after);
    }
    audio_running.fetch_sub(1, std::memory_order_acq_rel);
  });

  std::thread host([&] {
    for (int i = 0; i < kSwitches; ++i) {
      const uint64_t g = 3 + static_cast<uint64_t>(i);
      // A refusal means the observer failed: stop switching, but still let
      // the audio threads finish, or the test would hang instead of failing.
      if (!observer->authorize(g, i % 3 != 1, i % 4 != 2)) {
        ADD_FAILURE() << "authorisation refused at switching " << i << ", faults " << observer->stats().faults;
        break;
      }
      for (int spin = 0; spin < kSpinsPerSwitch; ++spin) {
        (void)capture_progress.load(std::memory_order_relaxed);
      }
    }
    EXPECT_TRUE(observer->authorize(3 + kSwitches, true, true));
    host_done.store(true, std::memory_order_release);
  });

  StreamCheck captured;
  StreamCheck received;
  uint32_t next_playback = 0;
  auto consume_once = [&] {
    Block block;
    uint64_t before = observer->epoch();
    if (observer->take_capture(block)) {
      captured.see(block.samples, 480, block.epoch, before, observer->epoch());
    }
    before = observer->epoch();
    if (observer->take_remote(block)) {
      received.see(block.samples, 480, block.epoch, before, observer->epoch());
    }
    const uint64_t epoch = observer->epoch();
    playback_epochs[next_playback % playback_epochs.size()] = epoch;
    if (observer->submit_playback(stamped_block(epoch, 2, next_playback))) ++next_playback;
  };
  while (audio_running.load(std::memory_order_acquire) > 0) consume_once();
  for (int i = 0; i < 600; ++i) consume_once();

  capture.join();
  remote.join();
  playback.join();
  host.join();

  captured.expect_clean("capture");
  received.expect_clean("remote");
  played.expect_clean("playback");
  const DuplexStats stats = observer->stats();
  EXPECT_EQ(stats.faults, 0u);
  EXPECT_EQ(stats.active_callbacks, 0u);
  EXPECT_EQ(observer->audio_health().terminal_issue, 0u);
}

}  // namespace
}  // namespace dovrin::rtc_probe
