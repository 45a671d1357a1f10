// The audio block exports through the C interface: capture budget, polling
// of local capture, playback submission and the health record, driven by
// the stand-in SDK's capture track and playback pulls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "support/manual_clock.h"
#include "support/runtime_fixture.h"

namespace {

using dovrin::testing::RuntimeTest;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class BlockExports : public RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    create();
  }
  static std::array<int16_t, 960> stereo(int16_t left, int16_t right) {
    std::array<int16_t, 960> samples;
    for (size_t i = 0; i < 480; ++i) {
      samples[2 * i] = left;
      samples[2 * i + 1] = right;
    }
    return samples;
  }
};

TEST_F(BlockExports, ArgumentChecks) {
  DovrinRtcAudioBlock block;
  uint64_t gaps = 0;
  int16_t samples[960] = {};
  DovrinRtcAudioHealthSnapshot health;
  EXPECT_EQ(dovrin_rtc_desktop_poll(nullptr, 0, &block), -1);
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, nullptr), -1);
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 35, &block), -1);
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 5, &block), 0) << "empty peer slot 4";
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 34, &block), 0) << "empty peer slot 33";
  EXPECT_EQ(dovrin_rtc_desktop_capture_poll(rtc, nullptr, &gaps), -1);
  EXPECT_EQ(dovrin_rtc_desktop_capture_poll(rtc, &block, nullptr), -1);
  EXPECT_EQ(dovrin_rtc_desktop_play(rtc, nullptr, 480), -1);
  EXPECT_EQ(dovrin_rtc_desktop_play(rtc, samples, 479), -1);
  EXPECT_EQ(dovrin_rtc_desktop_play(rtc, samples, 480), -2) << "playback is off";
  EXPECT_EQ(dovrin_rtc_desktop_audio_health(rtc, nullptr), -1);
  EXPECT_EQ(dovrin_rtc_desktop_audio_health(nullptr, &health), -1);
  EXPECT_EQ(dovrin_rtc_desktop_audio_health_size(), 136);
}

TEST_F(BlockExports, CaptureConfigTable) {
  struct Case {
    uint32_t ms;
    int32_t result;
  } cases[] = {{10, -1}, {199, -1}, {1005, -1}, {5010, -1}, {200, 0}, {5000, 0}, {1000, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(dovrin_rtc_desktop_capture_config(rtc, c.ms), c.result) << c.ms;
  }
  DovrinRtcAudioHealthSnapshot health;
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.capture_budget_ms, 1000u);
  EXPECT_EQ(dovrin_rtc_desktop_capture_config(nullptr, 1000), -2) << "null handle with the health check";
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  EXPECT_EQ(dovrin_rtc_desktop_capture_config(rtc, 1000), -4) << "capture is on";
}

TEST_F(BlockExports, FreshHealthIsZeroButTheDefaultBudget) {
  DovrinRtcAudioHealthSnapshot health;
  std::memset(&health, 0xff, sizeof health);
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  DovrinRtcAudioHealthSnapshot expected{};
  expected.capture_budget_ms = 200;
  EXPECT_EQ(std::memcmp(&health, &expected, sizeof health), 0);
}

TEST_F(BlockExports, LocalCaptureBlockRecord) {
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  ASSERT_TRUE(push_capture(-1234, 48000, 1, /*timestamp=*/777));
  DovrinRtcAudioBlock block;
  std::memset(&block, 0x7f, sizeof block);
  uint64_t gaps = 99;
  ASSERT_EQ(dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps), 1);
  EXPECT_EQ(gaps, 0u);
  EXPECT_EQ(block.epoch, 2u);
  EXPECT_EQ(block.channels, 1u);
  EXPECT_EQ(block.sample_rate, 48000u);
  EXPECT_EQ(block.frames, 480u);
  EXPECT_EQ(block.render_time_ms, 777);
  EXPECT_EQ(block.presentation_ms, 0);
  EXPECT_EQ(block.rtp_timestamp, 0u);
  for (size_t i = 0; i < 960; ++i) {
    ASSERT_EQ(block.samples[i], i < 480 ? -1234 : 0) << i;
  }
  EXPECT_EQ(dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps), 0);
  EXPECT_EQ(block.samples[0], -1234) << "nothing delivered leaves the record alone";
}

TEST_F(BlockExports, CaptureWhileSwitchedOffIsNeverDelivered) {
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  EXPECT_TRUE(push_capture(5)) << "the sink takes it; the observer drops it";
  DovrinRtcAudioBlock block;
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), 0);
}

TEST_F(BlockExports, StrictCaptureOverflowIsAPhysicalFault) {
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(push_capture(1)) << i;
  EXPECT_TRUE(push_capture(1)) << "the sink took it; the observer's ring was full";
  DovrinRtcAudioBlock block;
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), -2);
  EXPECT_EQ(GetCapturedStderr(), "DOVRIN_RTC_NATIVE_FAULT physical=1 capture=0\n");
}

TEST_F(BlockExports, PlaybackFromSubmittedBlocks) {
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  const auto first = stereo(11, -11);
  ASSERT_EQ(dovrin_rtc_desktop_play(rtc, first.data(), 480), 0);
  EXPECT_EQ(pull_playback(), first);
  EXPECT_EQ(pull_playback(), (std::array<int16_t, 960>{})) << "an empty ring plays silence";

  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(dovrin_rtc_desktop_play(rtc, first.data(), 480), 0) << i;
  }
  EXPECT_EQ(dovrin_rtc_desktop_play(rtc, first.data(), 480), -4) << "the 21st block";
}

TEST_F(BlockExports, PlaybackQueuedBeforeASwitchingIsSkipped) {
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  const auto old_block = stereo(1, 1);
  ASSERT_EQ(dovrin_rtc_desktop_play(rtc, old_block.data(), 480), 0);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  const auto new_block = stereo(2, 2);
  ASSERT_EQ(dovrin_rtc_desktop_play(rtc, new_block.data(), 480), 0);
  EXPECT_EQ(pull_playback(), new_block);
}

struct Renderer {
  int answer = 480;
  int calls = 0;
  int16_t value = 3;
  static int render(void* self, int16_t* samples, size_t frames) {
    auto* r = static_cast<Renderer*>(self);
    ++r->calls;
    const size_t written = r->answer >= 0 && r->answer <= 480 ? static_cast<size_t>(r->answer) : frames;
    for (size_t i = 0; i < written * 2; ++i) samples[i] = r->value;
    return r->answer;
  }
};

class RenderedPlayback : public RuntimeTest {};

TEST_F(RenderedPlayback, ShortCountsLeaveTheRestSilent) {
  Renderer renderer;
  renderer.answer = 100;
  create(&Renderer::render, &renderer);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  const auto frame = pull_playback();
  EXPECT_EQ(renderer.calls, 1);
  for (size_t i = 0; i < 960; ++i) {
    ASSERT_EQ(frame[i], i < 200 ? 3 : 0) << i;
  }
}

TEST_F(RenderedPlayback, BadCountsFailTheRuntime) {
  for (int bad : {481, -1}) {
    Renderer renderer;
    renderer.answer = bad;
    create(&Renderer::render, &renderer);
    ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
    const auto frame = pull_playback();
    EXPECT_EQ(frame, (std::array<int16_t, 960>{})) << bad;
    DovrinRtcAudioHealthSnapshot health;
    ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
    EXPECT_EQ(health.terminal_issue, 6u) << "render_count";
    EXPECT_EQ(health.issue_counts[5], 1u);
    CaptureStderr();
    EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), -2);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("DOVRIN_RTC_NATIVE_FAULT physical=1 capture=0"));
    destroy();
  }
}

TEST_F(RenderedPlayback, NoCallWhilePlaybackIsOff) {
  Renderer renderer;
  create(&Renderer::render, &renderer);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  EXPECT_EQ(pull_playback(), (std::array<int16_t, 960>{}));
  EXPECT_EQ(renderer.calls, 0);
}

class BudgetedCapture : public BlockExports {
 protected:
  dovrin::testing::ManualClock clock{50'000};
};

TEST_F(BudgetedCapture, OverflowCountsGapsThenTurnsTerminalAfterItsWindow) {
  ASSERT_EQ(dovrin_rtc_desktop_capture_config(rtc, 200), 0);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(push_capture(static_cast<int16_t>(i)));
  ASSERT_TRUE(push_capture(99)) << "an overflow is a gap, not a rejection";

  DovrinRtcAudioHealthSnapshot health;
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.first_issue, 1u);
  EXPECT_EQ(health.terminal_issue, 0u);
  EXPECT_EQ(health.gap_frames, 480u);
  EXPECT_EQ(health.gap_events, 1u);
  EXPECT_EQ(health.max_depth_blocks, 20u);

  DovrinRtcAudioBlock block;
  uint64_t gaps = 0;
  ASSERT_EQ(dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps), 1);
  EXPECT_EQ(gaps, 0u) << "made before the gap";
  ASSERT_TRUE(push_capture(7));
  while (dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps) == 1) {
  }
  EXPECT_EQ(block.samples[0], 7);
  EXPECT_EQ(gaps, 1u) << "made after the gap";

  // Overflow on every push for the whole window turns terminal.
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(push_capture(1));
  ASSERT_TRUE(push_capture(1));
  clock.advance(9'999);
  ASSERT_TRUE(push_capture(1));
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.terminal_issue, 0u) << "still within the window at 9999 ms";
  EXPECT_EQ(health.capture_degraded_ms, 9'999u);
  clock.advance(1);
  push_capture(1);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), -2);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("DOVRIN_RTC_NATIVE_FAULT"));
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.terminal_issue, 1u);
  EXPECT_EQ(health.gap_events, 4u);
}

TEST_F(BudgetedCapture, FormatMismatchDegradesForTwoSeconds) {
  ASSERT_EQ(dovrin_rtc_desktop_capture_config(rtc, 1000), 0);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  ASSERT_TRUE(push_capture(1, 44100)) << "with a budget the sink passes other rates on";
  DovrinRtcAudioBlock block;
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), 0);
  DovrinRtcAudioHealthSnapshot health;
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.issue_counts[2], 1u);
  EXPECT_EQ(health.last_format_rate, 44100u);
  EXPECT_EQ(health.last_format_channels, 1u);
  EXPECT_EQ(health.last_format_samples, 441u);
  clock.advance(1500);
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.capture_degraded_ms, 1500u);
  clock.advance(500);
  push_capture(1, 44100);
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), -2);
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.terminal_issue, 3u);
}

TEST_F(BudgetedCapture, ConfigRefusedWhileBlocksArePending) {
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  ASSERT_TRUE(push_capture(1));
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 0), 0);
  EXPECT_EQ(dovrin_rtc_desktop_capture_config(rtc, 1000), -4) << "a stale block is still queued";
  DovrinRtcAudioBlock block;
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), 0) << "drains the stale block";
  EXPECT_EQ(dovrin_rtc_desktop_capture_config(rtc, 1000), 0);
}

}  // namespace
