#include "audio/duplex_observer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "audio_test_support.h"

namespace dovrin::rtc_probe {
namespace {

using testing::ManualClock;
using testing::peer_observer;
using testing::seq_of;
using testing::runtime_observer;
using testing::stamp;
using testing::stamped_block;
using testing::TestFrame;

uint64_t code(AudioIssue issue) { return static_cast<uint64_t>(issue); }

bool closed(const DuplexObserver& o) { return o.epoch() == 0; }

// A host render callback whose answer and side effect each test chooses.
struct Render {
  int answer = 480;
  int16_t value = 1000;
  size_t calls = 0;
  std::function<void()> during;

  static int callback(void* context, int16_t* samples, size_t frames) {
    auto* self = static_cast<Render*>(context);
    ++self->calls;
    for (size_t i = 0; i < frames * 2; ++i) samples[i] = self->value;
    if (self->during) self->during();
    return self->answer;
  }
};

// ---- Construction ----

struct ConstructionCase {
  const char* name;
  std::string channel;
  bool null_channel;
  uint32_t rate;
  uint32_t channels;
  bool callback;
  bool context;
  bool ok;
};

class DuplexObserverConstructionTest : public ::testing::TestWithParam<ConstructionCase> {};

TEST_P(DuplexObserverConstructionTest, FailsOnceOnBadArguments) {
  const ConstructionCase& c = GetParam();
  Render render;
  DuplexObserver observer(c.null_channel ? nullptr : c.channel.c_str(), 7,
                          c.callback ? &Render::callback : nullptr, c.context ? &render : nullptr,
                          RemoteChannelBinding::by_name, true, RemoteOverflowPolicy::fail, c.rate,
                          c.channels);
  EXPECT_EQ(observer.stats().faults, c.ok ? 0u : 1u);
  EXPECT_EQ(observer.epoch(), c.ok ? 1u : 0u);
  EXPECT_EQ(observer.authorize(2, true, true), c.ok);
  if (!c.channel.empty()) {
    EXPECT_EQ(observer.same_channel(c.channel.c_str()), c.ok) << "the name is kept only when valid";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, DuplexObserverConstructionTest,
    ::testing::Values(
        ConstructionCase{"valid", "room", false, 48000, 1, false, false, true},
        ConstructionCase{"rate8000", "room", false, 8000, 1, false, false, true},
        ConstructionCase{"rate12000", "room", false, 12000, 2, false, false, true},
        ConstructionCase{"rate16000", "room", false, 16000, 1, false, false, true},
        ConstructionCase{"rate24000", "room", false, 24000, 2, false, false, true},
        ConstructionCase{"rate44100", "room", false, 44100, 1, false, false, false},
        ConstructionCase{"rate0", "room", false, 0, 1, false, false, false},
        ConstructionCase{"channels0", "room", false, 48000, 0, false, false, false},
        ConstructionCase{"channels3", "room", false, 48000, 3, false, false, false},
        ConstructionCase{"callbackWithoutContext", "room", false, 48000, 1, true, false, false},
        ConstructionCase{"callbackAndContext", "room", false, 48000, 1, true, true, true},
        ConstructionCase{"contextWithoutCallback", "room", false, 48000, 1, false, true, true},
        ConstructionCase{"nullChannel", "", true, 48000, 1, false, false, false},
        ConstructionCase{"emptyChannel", "", false, 48000, 1, false, false, true},
        ConstructionCase{"channel64", std::string(64, 'c'), false, 48000, 1, false, false, true},
        ConstructionCase{"channel65", std::string(65, 'c'), false, 48000, 1, false, false, false}),
    testing::CaseName());

TEST(DuplexObserverParamsTest, AsksForTheFramesItHandles) {
  auto sink_fed = runtime_observer();
  auto recording = peer_observer();
  EXPECT_EQ(sink_fed->getObservedAudioFramePosition(), 1 | 8);
  EXPECT_EQ(recording->getObservedAudioFramePosition(), 1 | 2 | 8);

  const auto playback = sink_fed->getPlaybackAudioParams();
  EXPECT_EQ(playback.sample_rate, 48000);
  EXPECT_EQ(playback.channels, 2);
  EXPECT_EQ(playback.mode, 2);
  EXPECT_EQ(playback.samples_per_call, 960);
  const auto record = sink_fed->getRecordAudioParams();
  EXPECT_EQ(record.sample_rate, 48000);
  EXPECT_EQ(record.channels, 1);
  EXPECT_EQ(record.mode, 2);
  EXPECT_EQ(record.samples_per_call, 480);
  for (const auto& p : {sink_fed->getMixedAudioParams(), sink_fed->getEarMonitoringAudioParams()}) {
    EXPECT_EQ(p.sample_rate | p.channels | p.mode | p.samples_per_call, 0);
  }
}

// ---- Authorisation ----

TEST(DuplexObserverAuthorizeTest, GenerationsOnlyGrowAndCloseIsFinal) {
  auto observer = runtime_observer();
  EXPECT_FALSE(observer->authorize(1, true, true));
  EXPECT_TRUE(observer->authorize(2, true, false));
  EXPECT_FALSE(observer->authorize(2, true, true));
  EXPECT_TRUE(observer->authorize(9, false, true));
  EXPECT_EQ(observer->epoch(), 9u);
  EXPECT_FALSE(observer->authorize(DuplexObserver::kMaxGeneration + 1, true, true));
  EXPECT_TRUE(observer->authorize(DuplexObserver::kMaxGeneration, true, true));
  EXPECT_EQ(observer->epoch(), DuplexObserver::kMaxGeneration);

  auto other = runtime_observer();
  other->close();
  EXPECT_FALSE(other->authorize(2, true, true));
  EXPECT_EQ(other->stats().faults, 0u) << "close is not a fault";
  other->fail();
  EXPECT_EQ(other->stats().faults, 1u);
}

TEST(DuplexObserverAuthorizeTest, ClosedObserverPlaysSilenceAndTakesNothing) {
  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, true, true));
  TestFrame capture = TestFrame::mono();
  ASSERT_TRUE(observer->capture_frame(capture.frame));
  ASSERT_TRUE(observer->submit_playback(stamped_block(2, 2, 1)));
  observer->close();

  TestFrame out = TestFrame::stereo();
  out.fill(123);
  EXPECT_TRUE(observer->onPlaybackAudioFrame("", out.frame));
  EXPECT_TRUE(out.silent(0, 960));
  Block block;
  EXPECT_FALSE(observer->take_capture(block));
  EXPECT_FALSE(observer->submit_playback(stamped_block(2, 2, 2)));
  EXPECT_EQ(observer->stats().played_frames, 0u);
}

TEST(DuplexObserverAuthorizeTest, ReauthorisationMakesEarlierBlocksStale) {
  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, true, false));
  TestFrame frame = TestFrame::mono();
  for (uint32_t seq = 0; seq < 3; ++seq) {
    frame.stamp(seq);
    observer->capture_frame(frame.frame);
  }
  ASSERT_TRUE(observer->authorize(3, true, false));
  frame.stamp(3);
  observer->capture_frame(frame.frame);

  Block block;
  ASSERT_TRUE(observer->take_capture(block));
  EXPECT_EQ(seq_of(block), 3u);
  EXPECT_EQ(block.epoch, 3u);
  EXPECT_EQ(observer->stats().stale_blocks, 3u);

  // Switching capture off makes even current-generation blocks undeliverable.
  observer->capture_frame(frame.frame);
  ASSERT_TRUE(observer->authorize(4, false, true));
  EXPECT_FALSE(observer->take_capture(block));
  EXPECT_EQ(observer->stats().stale_blocks, 4u);
  EXPECT_EQ(observer->stats().faults, 0u);
}

// ---- Strict capture ----

TEST(DuplexObserverCaptureTest, BlockCarriesTheFrame) {
  auto observer = peer_observer();
  ASSERT_TRUE(observer->authorize(2, true, false));
  TestFrame frame = TestFrame::mono();
  frame.stamp(41);
  frame.storage[480] = 99;  // beyond the frame: must not reach the block
  frame.frame.rtpTimestamp = 1234;
  frame.frame.presentationMs = -5;
  frame.frame.renderTimeMs = 777;

  EXPECT_TRUE(observer->onRecordAudioFrame("room", frame.frame));
  EXPECT_TRUE(frame.silent(0, 480)) << "a taken recording frame passes on as silence";

  Block block;
  ASSERT_TRUE(observer->take_capture(block));
  EXPECT_EQ(seq_of(block), 41u);
  for (size_t i = 480; i < kBlockSamples; ++i) ASSERT_EQ(block.samples[i], 0) << i;
  EXPECT_EQ(block.epoch, 2u);
  EXPECT_EQ(block.uid, 0u);
  EXPECT_EQ(block.channels, 1u);
  EXPECT_EQ(block.rtp_timestamp, 1234u);
  EXPECT_EQ(block.presentation_ms, -5);
  EXPECT_EQ(block.render_time_ms, 777);
  EXPECT_EQ(block.gap_sequence, 0u);
  const DuplexStats stats = observer->stats();
  EXPECT_EQ(stats.capture_callbacks, 1u);
  EXPECT_EQ(stats.captured_frames, 480u);
  EXPECT_EQ(stats.active_callbacks, 0u);
}

TEST(DuplexObserverCaptureTest, SinkFedObserverIgnoresRecordingFrames) {
  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, true, false));
  TestFrame frame = TestFrame::mono();
  frame.fill(5);
  EXPECT_TRUE(observer->onRecordAudioFrame("", frame.frame));
  EXPECT_EQ(frame.storage[0], 5);
  EXPECT_EQ(observer->stats().capture_callbacks, 0u);
  Block block;
  EXPECT_FALSE(observer->take_capture(block));
}

struct BadCaptureCase {
  const char* name;
  int channels, rate, samples, bytes;
  bool null_buffer;
};

class DuplexObserverStrictCaptureTest : public ::testing::TestWithParam<BadCaptureCase> {};

TEST_P(DuplexObserverStrictCaptureTest, MismatchFaultsAtOnce) {
  const BadCaptureCase& c = GetParam();
  auto observer = peer_observer();
  ASSERT_TRUE(observer->authorize(2, true, false));
  TestFrame frame(c.channels, c.rate, c.samples);
  frame.frame.bytesPerSample = c.bytes;
  if (c.null_buffer) frame.frame.buffer = nullptr;
  frame.fill(9);
  EXPECT_TRUE(observer->onRecordAudioFrame("room", frame.frame));
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_TRUE(closed(*observer));
  const bool zeroable = !c.null_buffer && c.bytes == 2 && (c.channels == 1 || c.channels == 2);
  EXPECT_EQ(frame.silent(0, static_cast<size_t>(c.samples * c.channels)), zeroable)
      << "zeroed exactly when its shape is safe to write";
}

INSTANTIATE_TEST_SUITE_P(Frames, DuplexObserverStrictCaptureTest,
                         ::testing::Values(BadCaptureCase{"stereo", 2, 48000, 480, 2, false},
                                           BadCaptureCase{"rate44100", 1, 44100, 441, 2, false},
                                           BadCaptureCase{"short", 1, 48000, 479, 2, false},
                                           BadCaptureCase{"bytes1", 1, 48000, 480, 1, false},
                                           BadCaptureCase{"channels3", 3, 48000, 480, 2, false},
                                           BadCaptureCase{"nullBuffer", 1, 48000, 480, 2, true}),
                         testing::CaseName());

TEST(DuplexObserverCaptureTest, StrictRingOverflowFaults) {
  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, true, false));
  TestFrame frame = TestFrame::mono();
  for (int i = 0; i < 20; ++i) observer->capture_frame(frame.frame);
  EXPECT_EQ(observer->stats().faults, 0u);
  observer->capture_frame(frame.frame);
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_EQ(observer->stats().captured_frames, 20u * 480u);
}

TEST(DuplexObserverCaptureTest, StrictContentionFaults) {
  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, true, false));
  TestFrame frame = TestFrame::mono();
  auto& busy = DuplexObserverProbe::capture_busy(*observer);
  ASSERT_FALSE(busy.test_and_set());
  observer->capture_frame(frame.frame);
  EXPECT_TRUE(busy.test()) << "a guard that did not acquire leaves the flag alone";
  busy.clear();
  EXPECT_EQ(observer->stats().faults, 1u);
}

TEST(DuplexObserverCaptureTest, CaptureSwitchedOffDropsWithoutFault) {
  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame frame = TestFrame::mono();
  observer->capture_frame(frame.frame);
  Block block;
  EXPECT_FALSE(observer->take_capture(block));
  EXPECT_EQ(observer->stats().captured_frames, 0u);
  EXPECT_EQ(observer->stats().faults, 0u);
}

// ---- Capture budget ----

TEST(DuplexObserverBudgetTest, ConfigureChecksValueAndState) {
  struct Case {
    uint32_t ms;
    bool ok;
  } const values[] = {{199, false}, {5001, false}, {205, false}, {0, false},
                      {200, true},  {5000, true},  {1000, true}};
  for (const Case& c : values) {
    auto observer = runtime_observer();
    EXPECT_EQ(observer->configure_capture_ms(c.ms), c.ok) << c.ms;
    EXPECT_EQ(observer->capture_policy_enabled(), c.ok) << c.ms;
  }

  auto recording = peer_observer();
  EXPECT_FALSE(recording->configure_capture_ms(1000)) << "no budgeted ring without the sink";

  auto capturing = runtime_observer();
  ASSERT_TRUE(capturing->authorize(2, true, false));
  EXPECT_FALSE(capturing->configure_capture_ms(1000)) << "capture switched on";

  TestFrame frame = TestFrame::mono();
  capturing->capture_frame(frame.frame);
  ASSERT_TRUE(capturing->authorize(3, false, false));
  EXPECT_FALSE(capturing->configure_capture_ms(1000)) << "a block is pending";
  Block block;
  EXPECT_FALSE(capturing->take_capture(block));  // drains the stale block
  EXPECT_TRUE(capturing->configure_capture_ms(1000));
  EXPECT_TRUE(capturing->configure_capture_ms(300)) << "the limit may change again";
  EXPECT_EQ(capturing->audio_health().capture_budget_ms, 300u);

  auto closed_observer = runtime_observer();
  closed_observer->close();
  EXPECT_FALSE(closed_observer->configure_capture_ms(1000));
}

TEST(DuplexObserverBudgetTest, ConfigureRefusedWhileACallbackRuns) {
  Render render;
  auto observer = runtime_observer(&Render::callback, &render);
  bool configured = true;
  render.during = [&] { configured = observer->configure_capture_ms(1000); };
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame out = TestFrame::stereo();
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_EQ(render.calls, 1u);
  EXPECT_FALSE(configured);
  EXPECT_FALSE(observer->capture_policy_enabled());
  EXPECT_TRUE(observer->configure_capture_ms(1000));
}

class DuplexObserverBudgetFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(observer->configure_capture_ms(1000));
    ASSERT_TRUE(observer->authorize(2, true, true));
  }
  ManualClock clock;
  std::unique_ptr<DuplexObserver> observer = runtime_observer();
  TestFrame frame = TestFrame::mono();
};

using DuplexObserverBudgetRunTest = DuplexObserverBudgetFixture;

TEST_F(DuplexObserverBudgetRunTest, OverflowDegradesAndStampsTheGap) {
  EXPECT_EQ(observer->audio_health().capture_budget_ms, 1000u);
  for (uint32_t seq = 0; seq < 100; ++seq) {
    frame.stamp(seq);
    observer->capture_frame(frame.frame);
  }
  observer->capture_frame(frame.frame);  // the 101st exceeds the 100-block limit
  AudioHealthSnapshot s = observer->audio_health();
  EXPECT_EQ(s.gap_frames, 480u);
  EXPECT_EQ(s.gap_events, 1u);
  EXPECT_EQ(s.issue_counts[0], 1u);
  EXPECT_EQ(s.first_issue, code(AudioIssue::capture_overflow));
  EXPECT_EQ(s.terminal_issue, 0u);
  EXPECT_EQ(s.max_depth_blocks, 100u);
  clock.advance(30);
  EXPECT_EQ(observer->audio_health().capture_degraded_ms, 30u);

  Block block;
  ASSERT_TRUE(observer->take_capture(block));
  EXPECT_EQ(block.gap_sequence, 0u);
  frame.stamp(500);
  observer->capture_frame(frame.frame);  // fits again: the run ends
  s = observer->audio_health();
  EXPECT_EQ(s.capture_degraded_ms, 0u);
  EXPECT_EQ(observer->stats().faults, 0u);

  for (int i = 0; i < 99; ++i) ASSERT_TRUE(observer->take_capture(block));
  ASSERT_TRUE(observer->take_capture(block));
  EXPECT_EQ(seq_of(block), 500u);
  EXPECT_EQ(block.gap_sequence, 1u) << "the block after a loss tells the host";
  EXPECT_EQ(observer->stats().captured_frames, 101u * 480u);
}

TEST_F(DuplexObserverBudgetRunTest, OverflowLastingTenSecondsFails) {
  for (int i = 0; i < 100; ++i) observer->capture_frame(frame.frame);
  for (uint64_t t = 0; t < 10000; t += 10) {
    observer->capture_frame(frame.frame);
    ASSERT_EQ(observer->stats().faults, 0u) << "at " << t << " ms";
    clock.advance(10);
  }
  observer->capture_frame(frame.frame);
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_TRUE(closed(*observer));
  EXPECT_EQ(observer->audio_health().terminal_issue, code(AudioIssue::capture_overflow));
  EXPECT_EQ(observer->health().terminal_issue(), AudioIssue::capture_overflow);
}

struct BudgetTroubleCase {
  const char* name;
  AudioIssue issue;
  bool contention;  // otherwise a stereo frame
};

class DuplexObserverBudgetTroubleTest : public DuplexObserverBudgetFixture,
                                        public ::testing::WithParamInterface<BudgetTroubleCase> {};

TEST_P(DuplexObserverBudgetTroubleTest, FaultsOnlyAfterTwoSecondsOfTrouble) {
  const BudgetTroubleCase& c = GetParam();
  TestFrame stereo = TestFrame::stereo();
  auto& busy = DuplexObserverProbe::capture_busy(*observer);
  auto deliver = [&] {
    if (c.contention) {
      busy.test_and_set();
      observer->capture_frame(frame.frame);
      busy.clear();
    } else {
      observer->capture_frame(stereo.frame);
    }
  };
  for (uint64_t t = 0; t < 2000; t += 10) {
    deliver();
    ASSERT_EQ(observer->stats().faults, 0u) << "at " << t << " ms";
    clock.advance(10);
  }
  AudioHealthSnapshot s = observer->audio_health();
  EXPECT_EQ(s.gap_events, 200u);
  EXPECT_EQ(s.gap_frames, 0u);
  EXPECT_EQ(s.capture_degraded_ms, 2000u);
  deliver();
  s = observer->audio_health();
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_EQ(s.terminal_issue, code(c.issue));
  EXPECT_EQ(s.issue_counts[code(c.issue) - 1], 201u);
  EXPECT_EQ(s.last_format_channels, c.contention ? 0u : 2u);
  EXPECT_EQ(s.last_format_samples, c.contention ? 0u : 480u);
  EXPECT_EQ(s.last_format_rate, c.contention ? 0u : 48000u);
}

INSTANTIATE_TEST_SUITE_P(
    Trouble, DuplexObserverBudgetTroubleTest,
    ::testing::Values(BudgetTroubleCase{"format", AudioIssue::capture_format, false},
                      BudgetTroubleCase{"contention", AudioIssue::capture_contention, true}),
    testing::CaseName());

TEST_F(DuplexObserverBudgetRunTest, GoodFrameEndsAFormatRun) {
  TestFrame stereo = TestFrame::stereo();
  observer->capture_frame(stereo.frame);
  clock.advance(1990);
  observer->capture_frame(frame.frame);
  clock.advance(10);
  observer->capture_frame(stereo.frame);
  clock.advance(1990);
  observer->capture_frame(stereo.frame);
  EXPECT_EQ(observer->stats().faults, 0u);
}

TEST_F(DuplexObserverBudgetRunTest, InsaneFrameIsTerminalAtOnce) {
  TestFrame bad(1, 48000, 480);
  bad.frame.bytesPerSample = 4;
  observer->capture_frame(bad.frame);
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_EQ(observer->audio_health().terminal_issue, code(AudioIssue::invalid_frame));
}

TEST_F(DuplexObserverBudgetRunTest, CaptureSwitchedOffIsNotJudged) {
  ASSERT_TRUE(observer->authorize(3, false, true));
  TestFrame bad(1, 48000, 480);
  bad.frame.buffer = nullptr;
  observer->capture_frame(bad.frame);
  EXPECT_EQ(observer->stats().faults, 0u);
  EXPECT_EQ(observer->audio_health().first_issue, 0u);
}

// ---- Playback ----

TEST(DuplexObserverPlaybackTest, RingPlaysSubmittedBlocks) {
  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, false, true));
  ASSERT_TRUE(observer->submit_playback(stamped_block(2, 2, 7)));
  TestFrame out = TestFrame::stereo();
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_EQ(out.seq(), 7u);
  EXPECT_EQ(observer->stats().played_frames, 480u);
  EXPECT_EQ(observer->stats().playback_callbacks, 1u);

  out.fill(3);
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_TRUE(out.silent(0, 960)) << "an empty ring plays silence";
  EXPECT_EQ(observer->stats().played_frames, 480u);
  EXPECT_EQ(observer->stats().faults, 0u);
}

TEST(DuplexObserverPlaybackTest, SubmitRefusesWhatCannotBePlayed) {
  auto observer = runtime_observer();
  EXPECT_FALSE(observer->submit_playback(stamped_block(1, 2, 0))) << "playback off";
  ASSERT_TRUE(observer->authorize(2, true, false));
  EXPECT_FALSE(observer->submit_playback(stamped_block(2, 2, 0))) << "playback off";
  ASSERT_TRUE(observer->authorize(3, false, true));
  EXPECT_FALSE(observer->submit_playback(stamped_block(2, 2, 0))) << "old generation";
  EXPECT_FALSE(observer->submit_playback(stamped_block(3, 1, 0))) << "mono";
  for (uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(observer->submit_playback(stamped_block(3, 2, i)));
  EXPECT_FALSE(observer->submit_playback(stamped_block(3, 2, 20))) << "20 queued";

  Render render;
  auto rendering = runtime_observer(&Render::callback, &render);
  ASSERT_TRUE(rendering->authorize(2, false, true));
  EXPECT_FALSE(rendering->submit_playback(stamped_block(2, 2, 0))) << "renders instead";
}

TEST(DuplexObserverPlaybackTest, StaleBlocksAreSkippedAtMostTwentyPerFrame) {
  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, false, true));
  for (uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(observer->submit_playback(stamped_block(2, 2, i)));
  ASSERT_TRUE(observer->authorize(3, false, true));
  EXPECT_FALSE(observer->submit_playback(stamped_block(3, 2, 100))) << "stale blocks still fill it";

  TestFrame out = TestFrame::stereo();
  out.fill(3);
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_TRUE(out.silent(0, 960));
  EXPECT_EQ(observer->stats().stale_blocks, 20u);

  ASSERT_TRUE(observer->submit_playback(stamped_block(3, 2, 100)));
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_EQ(out.seq(), 100u);
  EXPECT_EQ(observer->stats().played_frames, 480u);
}

TEST(DuplexObserverPlaybackTest, StrictMismatchOrContentionFaults) {
  struct Case {
    const char* name;
    int channels, rate, samples;
  } const cases[] = {{"mono", 1, 48000, 480}, {"rate44100", 2, 44100, 441}, {"short", 2, 48000, 479}};
  for (const Case& c : cases) {
    auto observer = runtime_observer();
    ASSERT_TRUE(observer->authorize(2, false, true));
    TestFrame out(c.channels, c.rate, c.samples);
    out.fill(4);
    observer->onPlaybackAudioFrame("", out.frame);
    EXPECT_EQ(observer->stats().faults, 1u) << c.name;
    EXPECT_TRUE(out.silent(0, static_cast<size_t>(c.channels * c.samples))) << c.name;
  }

  // A second playback callback overlapping the first.
  Render render;
  auto observer = runtime_observer(&Render::callback, &render);
  TestFrame inner = TestFrame::stereo();
  render.during = [&] { observer->onPlaybackAudioFrame("", inner.frame); };
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame out = TestFrame::stereo();
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_EQ(render.calls, 1u);
}

struct RenderCase {
  const char* name;
  int answer;
  uint64_t played;
  bool fault;
};

class DuplexObserverRenderTest : public ::testing::TestWithParam<RenderCase> {};

TEST_P(DuplexObserverRenderTest, JudgesTheReturnedCount) {
  const RenderCase& c = GetParam();
  Render render;
  render.answer = c.answer;
  auto observer = runtime_observer(&Render::callback, &render);
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame out = TestFrame::stereo();
  observer->onPlaybackAudioFrame("", out.frame);

  EXPECT_EQ(render.calls, 1u);
  EXPECT_EQ(observer->stats().played_frames, c.played);
  EXPECT_EQ(observer->stats().faults, c.fault ? 1u : 0u);
  const size_t kept = c.fault ? 0 : static_cast<size_t>(c.answer) * 2;
  for (size_t i = 0; i < kept; ++i) ASSERT_EQ(out.storage[i], render.value) << i;
  EXPECT_TRUE(out.silent(kept, 960)) << "nothing beyond the returned count is played";
  const AudioHealthSnapshot s = observer->audio_health();
  EXPECT_EQ(s.terminal_issue, c.fault ? code(AudioIssue::render_count) : 0u);
  EXPECT_EQ(s.issue_counts[5], c.fault ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Counts, DuplexObserverRenderTest,
                         ::testing::Values(RenderCase{"full", 480, 480, false},
                                           RenderCase{"none", 0, 0, false},
                                           RenderCase{"short100", 100, 100, false},
                                           RenderCase{"above", 481, 0, true},
                                           RenderCase{"negative", -1, 0, true}),
                         testing::CaseName());

TEST(DuplexObserverRenderSwitchTest, SwitchingDuringTheCallSilencesTheFrame) {
  Render render;
  auto observer = runtime_observer(&Render::callback, &render);
  ASSERT_TRUE(observer->authorize(2, false, true));
  render.during = [&] { ASSERT_TRUE(observer->authorize(3, false, true)); };
  TestFrame out = TestFrame::stereo();
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_TRUE(out.silent(0, 960));
  EXPECT_EQ(observer->stats().played_frames, 0u);

  render.during = nullptr;
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_EQ(out.storage[0], render.value);
  EXPECT_EQ(observer->stats().played_frames, 480u);

  ASSERT_TRUE(observer->authorize(4, true, false));
  out.fill(1);
  observer->onPlaybackAudioFrame("", out.frame);
  EXPECT_EQ(render.calls, 2u) << "not called while playback is off";
  EXPECT_TRUE(out.silent(0, 960));
  EXPECT_EQ(observer->stats().faults, 0u);
}

using DuplexObserverBudgetPlaybackTest = DuplexObserverBudgetFixture;

TEST_F(DuplexObserverBudgetPlaybackTest, FormatMismatchFailsAfterTwoSeconds) {
  TestFrame mono(1, 48000, 480);
  for (uint64_t t = 0; t < 2000; t += 10) {
    observer->onPlaybackAudioFrame("", mono.frame);
    ASSERT_EQ(observer->stats().faults, 0u) << "at " << t << " ms";
    clock.advance(10);
  }
  EXPECT_EQ(observer->audio_health().playback_degraded_ms, 2000u);
  observer->onPlaybackAudioFrame("", mono.frame);
  const AudioHealthSnapshot s = observer->audio_health();
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_EQ(s.terminal_issue, code(AudioIssue::playback_format));
  EXPECT_EQ(s.last_format_channels, 1u);
}

TEST_F(DuplexObserverBudgetPlaybackTest, GoodFrameEndsTheRun) {
  TestFrame mono(1, 48000, 480);
  TestFrame stereo = TestFrame::stereo();
  observer->onPlaybackAudioFrame("", mono.frame);
  clock.advance(1990);
  observer->onPlaybackAudioFrame("", stereo.frame);
  EXPECT_EQ(observer->audio_health().playback_degraded_ms, 0u);
  clock.advance(10);
  observer->onPlaybackAudioFrame("", mono.frame);
  EXPECT_EQ(observer->stats().faults, 0u);
}

TEST_F(DuplexObserverBudgetPlaybackTest, ContentionAndInsaneFramesAreTerminal) {
  auto& busy = DuplexObserverProbe::playback_busy(*observer);
  busy.test_and_set();
  TestFrame stereo = TestFrame::stereo();
  observer->onPlaybackAudioFrame("", stereo.frame);
  busy.clear();
  AudioHealthSnapshot s = observer->audio_health();
  EXPECT_EQ(s.terminal_issue, code(AudioIssue::playback_contention));
  EXPECT_EQ(s.issue_counts[3], 1u);
  EXPECT_EQ(observer->stats().faults, 1u);

  auto other = runtime_observer();
  ASSERT_TRUE(other->configure_capture_ms(200));
  TestFrame bad(2, 48000, 4801);
  other->onPlaybackAudioFrame("", bad.frame);
  EXPECT_EQ(other->audio_health().terminal_issue, code(AudioIssue::invalid_frame));
  EXPECT_EQ(other->stats().faults, 1u);
}

TEST(DuplexObserverFrameTest, SilenceWritesOnlySafeShapes) {
  struct Case {
    int channels, samples, bytes, type;
    bool null_buffer, zeroed;
  } const cases[] = {
      {1, 480, 2, 0, false, true},  {2, 4800, 2, 0, false, true}, {2, 4801, 2, 0, false, false},
      {2, 0, 2, 0, false, false},   {3, 480, 2, 0, false, false}, {1, 480, 1, 0, false, false},
      {1, 480, 2, 1, false, false}, {1, 480, 2, 0, true, false},
  };
  for (const Case& c : cases) {
    TestFrame frame(c.channels, 48000, c.samples);
    frame.frame.bytesPerSample = c.bytes;
    frame.frame.type = c.type;
    if (c.null_buffer) frame.frame.buffer = nullptr;
    frame.fill(6);
    DuplexObserver::silence(frame.frame);
    EXPECT_EQ(frame.storage[0] == 0, c.zeroed) << c.channels << "x" << c.samples;
    if (c.zeroed) {
      const size_t n = static_cast<size_t>(c.channels * c.samples);
      EXPECT_TRUE(frame.silent(0, n));
      EXPECT_EQ(frame.storage[n], 6) << "nothing past the frame";
    }
  }
  auto observer = runtime_observer();
  TestFrame ear = TestFrame::stereo();
  ear.fill(8);
  EXPECT_TRUE(observer->onEarMonitoringAudioFrame(ear.frame));
  EXPECT_TRUE(ear.silent(0, 960));
  ear.fill(8);
  EXPECT_TRUE(observer->onMixedAudioFrame("", ear.frame));
  EXPECT_EQ(ear.storage[0], 8);
}

TEST(DuplexObserverFrameTest, PcmFrameViewsTheSinkFrame) {
  auto pcm = std::make_unique<agora::media::base::AudioPcmFrame>();
  pcm->capture_timestamp = 4321;
  pcm->samples_per_channel_ = 480;
  pcm->sample_rate_hz_ = 48000;
  pcm->num_channels_ = 1;
  testing::stamp(pcm->data_, 480, 9);
  const DuplexObserver::AudioFrame frame = DuplexObserver::pcm_frame(*pcm);
  EXPECT_TRUE(DuplexObserver::matches(frame, 1, 48000));
  EXPECT_EQ(frame.buffer, static_cast<const void*>(pcm->data_));
  EXPECT_EQ(frame.renderTimeMs, 4321);
  EXPECT_EQ(frame.presentationMs, 0);
  EXPECT_EQ(frame.rtpTimestamp, 0u);

  auto observer = runtime_observer();
  ASSERT_TRUE(observer->authorize(2, true, false));
  DuplexObserver::AudioFrame captured = frame;
  observer->capture_frame(captured);
  Block block;
  ASSERT_TRUE(observer->take_capture(block));
  EXPECT_EQ(seq_of(block), 9u);
  EXPECT_EQ(block.render_time_ms, 4321);
}

TEST(DuplexObserverFrameTest, SaneAndMatchesTables) {
  struct Case {
    int channels, rate, samples, bytes, type;
    bool sane, matches_mono48k;
  } const cases[] = {
      {1, 48000, 480, 2, 0, true, true},   {2, 48000, 480, 2, 0, true, false},
      {1, 44100, 441, 2, 0, true, false},  {1, 8000, 1, 2, 0, true, false},
      {1, 192000, 4800, 2, 0, true, false}, {1, 7999, 480, 2, 0, false, false},
      {1, 192001, 480, 2, 0, false, false}, {1, 48000, 480, 2, 1, false, false},
      {1, 48000, 480, 3, 0, false, false},  {0, 48000, 480, 2, 0, false, false},
  };
  for (const Case& c : cases) {
    TestFrame frame(c.channels, c.rate, c.samples);
    frame.frame.bytesPerSample = c.bytes;
    frame.frame.type = c.type;
    EXPECT_EQ(DuplexObserver::sane(frame.frame), c.sane) << c.channels << " " << c.rate;
    EXPECT_EQ(DuplexObserver::matches(frame.frame, 1, 48000), c.matches_mono48k)
        << c.channels << " " << c.rate;
  }
  TestFrame null_buffer = TestFrame::mono();
  null_buffer.frame.buffer = nullptr;
  EXPECT_FALSE(DuplexObserver::sane(null_buffer.frame));
  EXPECT_FALSE(DuplexObserver::matches(null_buffer.frame, 1, 48000));
  TestFrame narrow(1, 16000, 160);
  EXPECT_TRUE(DuplexObserver::matches(narrow.frame, 1, 16000));
}

}  // namespace
}  // namespace dovrin::rtc_probe
