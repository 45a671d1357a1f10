#include "audio/sink.h"

#include <gtest/gtest.h>

#include <memory>

#include "agora_base.h"

namespace dovrin::rtc_probe::service {
namespace {

using agora::media::base::AudioPcmFrame;

struct Taker {
  bool answer = true;
  int calls = 0;
  uint64_t active_seen = 0;
  SinkStats* stats = nullptr;

  static bool callback(void* context, const AudioPcmFrame&) noexcept {
    auto* self = static_cast<Taker*>(context);
    ++self->calls;
    if (self->stats != nullptr) self->active_seen = self->stats->active.load();
    return self->answer;
  }
};

AudioPcmFrame pcm(size_t channels, size_t samples, int rate, int bytes) {
  AudioPcmFrame frame;
  frame.num_channels_ = channels;
  frame.samples_per_channel_ = samples;
  frame.sample_rate_hz_ = rate;
  frame.bytes_per_sample = bytes;
  return frame;
}

// Owns the sink through the SDK's handle, as the runtime does.
struct SinkUnderTest {
  explicit SinkUnderTest(Sink::FrameCallback callback, void* context)
      : stats(std::make_shared<SinkStats>()), sink(new Sink(stats, callback, context)) {}
  std::shared_ptr<SinkStats> stats;
  agora::agora_refptr<Sink> sink;
};

struct ValidationCase {
  size_t channels, samples;
  int rate, bytes;
  bool valid;
};

class SinkValidationTest : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(SinkValidationTest, CountsAndForwardsOnlyValidFrames) {
  const ValidationCase& c = GetParam();
  Taker taker;
  SinkUnderTest t(&Taker::callback, &taker);
  taker.stats = t.stats.get();
  const AudioPcmFrame frame = pcm(c.channels, c.samples, c.rate, c.bytes);
  EXPECT_EQ(Sink::valid(frame), c.valid);
  EXPECT_EQ(t.sink->onAudioFrame(frame), c.valid);

  const SinkStats& s = *t.stats;
  EXPECT_EQ(s.frames.load(), 1u);
  EXPECT_EQ(s.rejected.load(), c.valid ? 0u : 1u);
  EXPECT_EQ(s.samples.load(), c.valid ? c.samples : 0u);
  EXPECT_EQ(s.sample_rate.load(), c.valid ? c.rate : 0);
  EXPECT_EQ(s.channels.load(), c.valid ? c.channels : 0u);
  EXPECT_EQ(s.active.load(), 0u);
  EXPECT_EQ(taker.calls, c.valid ? 1 : 0) << "invalid frames never reach the callback";
  if (c.valid) {
    EXPECT_EQ(taker.active_seen, 1u) << "counted as in flight during the callback";
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, SinkValidationTest,
                         ::testing::Values(ValidationCase{1, 480, 48000, 2, true},
                                           ValidationCase{2, 1920, 48000, 2, true},
                                           ValidationCase{2, 1921, 48000, 2, false},
                                           ValidationCase{1, 3840, 48000, 2, true},
                                           ValidationCase{1, 3841, 48000, 2, false},
                                           ValidationCase{1, 0, 48000, 2, false},
                                           ValidationCase{0, 480, 48000, 2, false},
                                           ValidationCase{3, 480, 48000, 2, false},
                                           ValidationCase{1, 480, 7999, 2, false},
                                           ValidationCase{1, 80, 8000, 2, true},
                                           ValidationCase{1, 1920, 192000, 2, true},
                                           ValidationCase{1, 480, 192001, 2, false},
                                           ValidationCase{1, 480, 48000, 1, false},
                                           ValidationCase{1, 441, 44100, 2, true}));

TEST(SinkCallbackTest, RefusalOrMissingContextRejects) {
  const AudioPcmFrame frame = pcm(1, 480, 48000, 2);

  Taker refusing{false};
  SinkUnderTest refused(&Taker::callback, &refusing);
  EXPECT_FALSE(refused.sink->onAudioFrame(frame));
  EXPECT_EQ(refusing.calls, 1);
  EXPECT_EQ(refused.stats->rejected.load(), 1u);
  EXPECT_EQ(refused.stats->samples.load(), 480u) << "the frame itself was valid";

  SinkUnderTest no_context(&Taker::callback, nullptr);
  EXPECT_FALSE(no_context.sink->onAudioFrame(frame));
  EXPECT_EQ(no_context.stats->rejected.load(), 1u);

  SinkUnderTest no_callback(nullptr, nullptr);
  EXPECT_TRUE(no_callback.sink->onAudioFrame(frame));
  EXPECT_EQ(no_callback.stats->rejected.load(), 0u);
}

TEST(SinkReferenceTest, LastReleaseDestroysTheSink) {
  auto stats = std::make_shared<SinkStats>();
  Sink* sink = new Sink(stats, nullptr, nullptr);
  EXPECT_EQ(stats.use_count(), 2);
  EXPECT_FALSE(sink->HasOneRef());
  sink->AddRef();
  EXPECT_TRUE(sink->HasOneRef());
  sink->AddRef();
  EXPECT_FALSE(sink->HasOneRef());
  EXPECT_EQ(sink->Release(), 1);
  EXPECT_TRUE(sink->HasOneRef());
  EXPECT_EQ(stats.use_count(), 2);
  EXPECT_EQ(sink->Release(), 0);
  EXPECT_EQ(stats.use_count(), 1) << "the sink and its share of the stats are gone";
}

TEST(SinkReferenceTest, HandlesShareOneCount) {
  auto stats = std::make_shared<SinkStats>();
  agora::agora_refptr<Sink> first(new Sink(stats, nullptr, nullptr));
  EXPECT_TRUE(first->HasOneRef());
  {
    agora::agora_refptr<agora::rtc::IAudioSinkBase> sdk_side(first);
    EXPECT_FALSE(first->HasOneRef());
  }
  EXPECT_TRUE(first->HasOneRef());
  first = nullptr;
  EXPECT_EQ(stats.use_count(), 1);
}

}  // namespace
}  // namespace dovrin::rtc_probe::service
