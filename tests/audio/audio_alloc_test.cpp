// Proves that the audio-thread paths never reach the heap: this program's
// global allocation functions count what the current thread allocates while
// a window is open, and can be told to fail the next aligned allocation.
#include <gtest/gtest.h>

#include <memory>
#include <new>

#include "audio/duplex_observer.h"
#include "audio/sink.h"
#include "audio_test_support.h"
#include "support/allocation_counter.h"

namespace dovrin::rtc_probe {
namespace {

using testing::ManualClock;
using testing::stamped_block;
using testing::TestFrame;

using dovrin::testing::allocations_during;

TEST(DuplexObserverAllocationTest, CountingSeesAnAllocation) {
  const size_t seen = allocations_during([] { ::operator delete(::operator new(16)); });
  EXPECT_EQ(seen, 1u) << "the counter itself works";
}

int render_full(void*, int16_t* samples, size_t frames) {
  for (size_t i = 0; i < frames * 2; ++i) samples[i] = 1;
  return static_cast<int>(frames);
}

TEST(DuplexObserverAllocationTest, AudioCallbacksNeverAllocate) {
  ManualClock clock;
  int context = 0;
  auto strict = testing::runtime_observer();
  auto budgeted = testing::runtime_observer();
  auto rendering = testing::runtime_observer(&render_full, &context);
  auto dropping = testing::peer_observer(RemoteOverflowPolicy::drop_oldest);
  auto recording = testing::peer_observer(RemoteOverflowPolicy::fail);
  ASSERT_TRUE(budgeted->configure_capture_ms(200));
  for (auto* o : {strict.get(), budgeted.get(), rendering.get(), dropping.get(), recording.get()}) {
    ASSERT_TRUE(o->authorize(2, true, true));
  }
  TestFrame mono = TestFrame::mono();
  TestFrame stereo = TestFrame::stereo();
  TestFrame wrong(2, 44100, 441);

  const size_t seen = allocations_during([&] {
    for (int i = 0; i < 30; ++i) {
      strict->capture_frame(mono.frame);     // fills, then overflows the strict ring
      budgeted->capture_frame(mono.frame);   // within the budget
      budgeted->capture_frame(wrong.frame);  // degrades the health
      recording->onRecordAudioFrame("room", mono.frame);
      budgeted->submit_playback(stamped_block(2, 2, static_cast<uint32_t>(i)));
      budgeted->onPlaybackAudioFrame("", stereo.frame);
      rendering->onPlaybackAudioFrame("", stereo.frame);
      dropping->onPlaybackAudioFrameBeforeMixing("room", 7u, mono.frame);  // drops past 20
      dropping->onPlaybackAudioFrameBeforeMixing("room", "7", mono.frame);
      recording->onPlaybackAudioFrameBeforeMixing(nullptr, "7", mono.frame);
      recording->onEarMonitoringAudioFrame(stereo.frame);
      Block block;
      budgeted->take_capture(block);
      dropping->take_remote(block);
      (void)budgeted->audio_health();
      (void)budgeted->stats();
    }
    dropping->onPlaybackAudioFrameBeforeMixing("room", 7u, wrong.frame);  // a remote fault
    for (int i = 0; i < 25; ++i) budgeted->capture_frame(mono.frame);  // an overflow run...
    clock.advance(10000);
    budgeted->capture_frame(mono.frame);  // ...that turns terminal
  });
  EXPECT_EQ(seen, 0u);
  EXPECT_GT(strict->stats().faults, 0u) << "the fault paths ran too";
  EXPECT_GT(dropping->remote_dropped_blocks(), 0u);
  EXPECT_EQ(budgeted->audio_health().terminal_issue,
            static_cast<uint64_t>(AudioIssue::capture_overflow));
  EXPECT_EQ(rendering->stats().played_frames, 30u * 480u);
}

bool take_frame(void* context, const agora::media::base::AudioPcmFrame& frame) noexcept {
  DuplexObserver::AudioFrame observed = DuplexObserver::pcm_frame(frame);
  return static_cast<DuplexObserver*>(context)->capture_frame(observed);
}

TEST(SinkAllocationTest, FramesPassWithoutAllocating) {
  auto observer = testing::runtime_observer();
  ASSERT_TRUE(observer->authorize(2, true, false));
  auto stats = std::make_shared<service::SinkStats>();
  agora::agora_refptr<service::Sink> sink(new service::Sink(stats, &take_frame, observer.get()));
  auto frame = std::make_unique<agora::media::base::AudioPcmFrame>();
  frame->samples_per_channel_ = 480;
  frame->sample_rate_hz_ = 48000;
  frame->num_channels_ = 1;
  auto bad = std::make_unique<agora::media::base::AudioPcmFrame>(*frame);
  bad->num_channels_ = 0;

  const size_t seen = allocations_during([&] {
    for (int i = 0; i < 10; ++i) {
      sink->onAudioFrame(*frame);
      sink->onAudioFrame(*bad);
      sink->AddRef();
      sink->Release();
    }
  });
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(stats->rejected.load(), 10u);
  EXPECT_EQ(observer->stats().captured_frames, 10u * 480u);
}

TEST(DuplexObserverAllocationTest, MissingBudgetRingFailsConstruction) {
  // The observer lives in static storage so that the only aligned
  // allocation during construction is its budgeted capture ring.
  alignas(DuplexObserver) static unsigned char storage[sizeof(DuplexObserver)];
  dovrin::testing::fail_next_aligned_allocation();
  auto* observer = new (storage) DuplexObserver("", 0, nullptr, nullptr,
                                                RemoteChannelBinding::by_name, true,
                                                RemoteOverflowPolicy::fail, 48000, 1);
  EXPECT_FALSE(dovrin::testing::aligned_failure_pending()) << "the ring's allocation was attempted";
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_EQ(observer->epoch(), 0u);
  EXPECT_FALSE(observer->authorize(2, true, true));
  EXPECT_FALSE(observer->configure_capture_ms(1000));
  Block block;
  EXPECT_FALSE(observer->take_capture(block));
  observer->~DuplexObserver();
}

}  // namespace
}  // namespace dovrin::rtc_probe
