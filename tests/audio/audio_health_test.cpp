#include "audio/audio_health.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "audio_test_support.h"

namespace dovrin::rtc_probe {
namespace {

using testing::ManualClock;

uint64_t code(AudioIssue issue) { return static_cast<uint64_t>(issue); }

class AudioHealthTest : public ::testing::Test {
 protected:
  ManualClock clock;
  AudioHealth health;
  uint64_t now() const { return clock.monotonic(); }
};

TEST_F(AudioHealthTest, MonotonicIsSteadyClockPlusOne) {
  clock.set(0);
  EXPECT_EQ(audio_monotonic_ms(), 1u);
  clock.set(123456);
  EXPECT_EQ(audio_monotonic_ms(), 123457u);
}

TEST_F(AudioHealthTest, FreshSnapshotIsZeroButTheBudget) {
  const AudioHealthSnapshot s = health.snapshot(200);
  AudioHealthSnapshot expected{};
  expected.capture_budget_ms = 200;
  EXPECT_EQ(0, memcmp(&s, &expected, sizeof s));
  EXPECT_EQ(health.terminal_issue(), AudioIssue::none);
}

struct WindowCase {
  AudioIssue issue;
  bool capture;
  uint64_t window_ms;
};

class AudioHealthWindowTest : public AudioHealthTest,
                              public ::testing::WithParamInterface<WindowCase> {};

// A run of the same trouble stays a degradation until its window has passed
// since the first occurrence, then turns terminal for good.
TEST_P(AudioHealthWindowTest, TurnsTerminalWhenTheRunReachesItsWindow) {
  const WindowCase c = GetParam();
  const uint64_t start = now();
  for (uint64_t t = 0; t < c.window_ms; t += 10) {
    ASSERT_TRUE(health.degrade(c.issue, c.capture, start + t)) << "at " << t << " ms";
  }
  EXPECT_FALSE(health.degrade(c.issue, c.capture, start + c.window_ms));
  EXPECT_EQ(health.terminal_issue(), c.issue);
  EXPECT_FALSE(health.degrade(c.issue, c.capture, start + c.window_ms + 10))
      << "a terminal health never recovers";
  health.healthy(c.capture);
  EXPECT_FALSE(health.degrade(c.issue, c.capture, start + c.window_ms + 20));

  const AudioHealthSnapshot s = health.snapshot(200);
  EXPECT_EQ(s.first_issue, code(c.issue));
  EXPECT_EQ(s.terminal_issue, code(c.issue));
  EXPECT_EQ(s.issue_counts[code(c.issue) - 1], c.window_ms / 10 + 3);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, AudioHealthWindowTest,
    ::testing::Values(WindowCase{AudioIssue::capture_overflow, true, 10000},
                      WindowCase{AudioIssue::capture_contention, true, 2000},
                      WindowCase{AudioIssue::capture_format, true, 2000},
                      WindowCase{AudioIssue::playback_format, false, 2000}));

TEST_F(AudioHealthTest, HealthyEndsTheRunOfItsDirectionOnly) {
  const uint64_t start = now();
  ASSERT_TRUE(health.degrade(AudioIssue::capture_format, true, start));
  ASSERT_TRUE(health.degrade(AudioIssue::playback_format, false, start));
  health.healthy(true);
  // Capture restarts its window; playback's run is still open from start.
  EXPECT_TRUE(health.degrade(AudioIssue::capture_format, true, start + 1500));
  EXPECT_TRUE(health.degrade(AudioIssue::capture_format, true, start + 3000));
  EXPECT_FALSE(health.degrade(AudioIssue::playback_format, false, start + 2000));
  EXPECT_EQ(health.terminal_issue(), AudioIssue::playback_format);
}

TEST_F(AudioHealthTest, OverflowRestartsTheFormatTimer) {
  const uint64_t start = now();
  ASSERT_TRUE(health.degrade(AudioIssue::capture_format, true, start));
  ASSERT_TRUE(health.degrade(AudioIssue::capture_overflow, true, start + 1500));
  // The format run began again at 2500, not at start.
  EXPECT_TRUE(health.degrade(AudioIssue::capture_format, true, start + 2500));
  EXPECT_TRUE(health.degrade(AudioIssue::capture_format, true, start + 4499));
  EXPECT_FALSE(health.degrade(AudioIssue::capture_format, true, start + 4500));
  EXPECT_EQ(health.terminal_issue(), AudioIssue::capture_format);
}

TEST_F(AudioHealthTest, LaterFormatProblemEndsAnExpiredOverflowRun) {
  const uint64_t start = now();
  ASSERT_TRUE(health.degrade(AudioIssue::capture_overflow, true, start));
  ASSERT_TRUE(health.degrade(AudioIssue::capture_contention, true, start + 9990));
  EXPECT_FALSE(health.degrade(AudioIssue::capture_format, true, start + 10000));
  EXPECT_EQ(health.terminal_issue(), AudioIssue::capture_overflow);
  const AudioHealthSnapshot s = health.snapshot(200);
  EXPECT_EQ(s.first_issue, code(AudioIssue::capture_overflow));
  EXPECT_EQ(s.issue_counts[0], 1u);
  EXPECT_EQ(s.issue_counts[1], 1u);
  EXPECT_EQ(s.issue_counts[2], 1u);
}

TEST_F(AudioHealthTest, PlaybackTroubleDoesNotEndAnOverflowRun) {
  const uint64_t start = now();
  ASSERT_TRUE(health.degrade(AudioIssue::capture_overflow, true, start));
  EXPECT_TRUE(health.degrade(AudioIssue::playback_format, false, start + 10000))
      << "the overflow rule judges capture only";
}

TEST_F(AudioHealthTest, OnlyTheFirstTerminalIssueSticks) {
  health.record(AudioIssue::render_count);
  health.terminal(AudioIssue::render_count);
  health.terminal(AudioIssue::runtime_fault);
  health.record(AudioIssue::capture_format);
  EXPECT_EQ(health.terminal_issue(), AudioIssue::render_count);
  const AudioHealthSnapshot s = health.snapshot(200);
  EXPECT_EQ(s.first_issue, code(AudioIssue::render_count));
  EXPECT_EQ(s.issue_counts[5], 1u);
  EXPECT_EQ(s.issue_counts[2], 1u);
  EXPECT_FALSE(health.degrade(AudioIssue::capture_format, true, now()));
}

TEST_F(AudioHealthTest, ImmediateTerminalIssuesAreNotCounted) {
  health.terminal(AudioIssue::sink_rejected);
  health.record(AudioIssue::invalid_frame);
  const AudioHealthSnapshot s = health.snapshot(200);
  EXPECT_EQ(s.first_issue, code(AudioIssue::sink_rejected));
  EXPECT_EQ(s.terminal_issue, code(AudioIssue::sink_rejected));
  for (uint64_t count : s.issue_counts) EXPECT_EQ(count, 0u);
}

TEST_F(AudioHealthTest, SnapshotReportsGapsDepthFormatAndDurations) {
  const uint64_t start = now();
  health.gap(480);
  health.gap(0);
  EXPECT_EQ(health.gap_sequence(), 2u);
  health.depth(7);
  health.depth(3);
  health.format(44100, 2, 441);
  ASSERT_TRUE(health.degrade(AudioIssue::capture_overflow, true, start));
  clock.advance(300);
  ASSERT_TRUE(health.degrade(AudioIssue::capture_format, true, now()));
  ASSERT_TRUE(health.degrade(AudioIssue::playback_format, false, now()));
  clock.advance(200);

  AudioHealthSnapshot s = health.snapshot(1000);
  EXPECT_EQ(s.gap_frames, 480u);
  EXPECT_EQ(s.gap_events, 2u);
  EXPECT_EQ(s.max_depth_blocks, 7u);
  EXPECT_EQ(s.capture_budget_ms, 1000u);
  EXPECT_EQ(s.capture_degraded_ms, 500u) << "measured from the earlier capture timer";
  EXPECT_EQ(s.playback_degraded_ms, 200u);
  EXPECT_EQ(s.last_format_rate, 44100u);
  EXPECT_EQ(s.last_format_channels, 2u);
  EXPECT_EQ(s.last_format_samples, 441u);

  clock.set(start - 100);  // a clock reading before the runs began
  s = health.snapshot(1000);
  EXPECT_EQ(s.capture_degraded_ms, 0u);
  EXPECT_EQ(s.playback_degraded_ms, 0u);

  health.healthy(true);
  health.healthy(false);
  clock.set(start + 5000);
  s = health.snapshot(1000);
  EXPECT_EQ(s.capture_degraded_ms, 0u);
  EXPECT_EQ(s.playback_degraded_ms, 0u);
}

TEST(AudioHealthExpiredTest, Table) {
  struct Case {
    uint64_t since, now, window;
    bool expired;
  } const cases[] = {
      {0, 5000, 2000, false},    // no run
      {1000, 999, 2000, false},  // clock before the run
      {1000, 2999, 2000, false},
      {1000, 3000, 2000, true},
      {1000, 1000, 0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AudioHealth::expired(c.since, c.now, c.window), c.expired)
        << c.since << " " << c.now << " " << c.window;
  }
}

TEST(AudioHealthLayoutTest, SnapshotIsTheCRecord) {
  static_assert(std::is_same_v<AudioHealthSnapshot, DovrinRtcAudioHealthSnapshot>);
  static_assert(sizeof(AudioHealthSnapshot) == 136);
  EXPECT_EQ(offsetof(AudioHealthSnapshot, capture_degraded_ms), 96u);
  EXPECT_EQ(offsetof(AudioHealthSnapshot, playback_degraded_ms), 104u);
  EXPECT_EQ(offsetof(AudioHealthSnapshot, last_format_rate), 112u);
}

}  // namespace
}  // namespace dovrin::rtc_probe
