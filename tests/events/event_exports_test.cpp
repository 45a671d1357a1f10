// The host's policy, event records and the periodic tick through the C
// interface.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/manual_clock.h"
#include "support/peer_fixture.h"

namespace {

using dovrin::testing::PeerTest;
using dovrin::testing::TestPolicy;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class EventExports : public PeerTest {};

TEST_F(EventExports, CopiesAndTheirArguments) {
  DovrinRtcSdkEvent out;
  EXPECT_EQ(dovrin_rtc_desktop_error_event_size(), 48);
  EXPECT_EQ(dovrin_rtc_desktop_error(nullptr, 0, 0, &out), -1);
  EXPECT_EQ(dovrin_rtc_desktop_error(rtc, 35, 0, &out), -1);
  EXPECT_EQ(dovrin_rtc_desktop_error(rtc, 0, 0, nullptr), -1);
  std::memset(&out, 0xff, sizeof out);
  EXPECT_EQ(dovrin_rtc_desktop_error(rtc, 3, 0, &out), 0) << "empty slot";
  EXPECT_EQ(out.sequence, 0u);
  EXPECT_EQ(out.sdk_version, 0u) << "zero-filled";
  EXPECT_EQ(dovrin_rtc_desktop_error(rtc, 34, 0, &out), 0) << "no runtime-wide log yet";
  EXPECT_EQ(dovrin_rtc_desktop_error_policy(rtc, nullptr), -1);
  EXPECT_EQ(dovrin_rtc_desktop_error_policy(nullptr, &TestPolicy::callback), -1);
}

uint32_t fatal_policy(const DovrinRtcSdkEvent* event) { return event->sequence == 0 ? 1 : 7; }

TEST_F(EventExports, RuntimeWideLogKeepsItsFirstPolicy) {
  install_policy();
  policy().action = 1;
  ASSERT_EQ(dovrin_rtc_desktop_error_policy(rtc, &fatal_policy), 0);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  loopback::fail_with("pcm_sender.send", 4);
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), 0) << "the first policy tolerates the silence feed";
  DovrinRtcSdkEvent out;
  ASSERT_EQ(dovrin_rtc_desktop_error(rtc, 34, 0, &out), 1);
  EXPECT_EQ(out.operation, 18);
  EXPECT_EQ(out.category, 4);
  EXPECT_EQ(out.slot, 34);
  EXPECT_EQ(out.raw_code, 4);
  EXPECT_EQ(out.generation, 1u) << "the io generation when the log was made";
  EXPECT_EQ(out.context_flags, 0);
  EXPECT_EQ(out.request_id, 1u);
  EXPECT_EQ(dovrin_rtc_desktop_error(rtc, 34, 1, &out), 0) << "no fatal event";

  // Later v2 joins use the newer policy: every failure of theirs is fatal.
  loopback::fail_with("connection.connect", 3);
  ASSERT_EQ(join(0, true), -3);
  ASSERT_EQ(dovrin_rtc_desktop_error(rtc, 0, 1, &out), 1);
  EXPECT_EQ(out.action, 4);
}

TEST_F(EventExports, SilenceFeedFailureUnderPolicyTable) {
  struct Case {
    uint32_t action;
    int32_t tick;
  } cases[] = {{0, 0}, {1, 0}, {2, -3}, {3, -3}, {4, -3}};
  for (const Case& c : cases) {
    restart_with_policy(c.action);
    ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
    loopback::fail_with("pcm_sender.send", -1);
    CaptureStderr();
    EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), c.tick) << c.action;
    const std::string err = GetCapturedStderr();
    if (c.tick == 0) {
      EXPECT_EQ(err, "") << c.action;
      EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), 0) << "still healthy";
    } else {
      EXPECT_EQ(err, "DOVRIN_RTC_NATIVE_API operation=18 code=-1\n") << c.action;
    }
  }
}

TEST_F(EventExports, OtherRuntimeFailuresLatchWhateverThePolicySays) {
  install_policy();
  policy().action = 0;
  loopback::fail_with("track.set_enabled", 2);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), -3);
  EXPECT_EQ(GetCapturedStderr(), "DOVRIN_RTC_NATIVE_API operation=27 code=2\n");
  DovrinRtcSdkEvent out;
  ASSERT_EQ(dovrin_rtc_desktop_error(rtc, 34, 0, &out), 1);
  EXPECT_EQ(out.operation, 27);
  EXPECT_EQ(out.generation, 1u);
}

TEST_F(EventExports, SilenceTimestampsAdvanceTenMillisecondsPerFeed) {
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 0), 0);
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0) << "nothing fed while playback is off";
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  const auto sends = loopback::journal("pcm_sender.send");
  ASSERT_EQ(sends.size(), 3u);
  for (size_t i = 0; i < sends.size(); ++i) {
    EXPECT_EQ(sends[i].num("capture_timestamp"), static_cast<int64_t>(10 * i));
    EXPECT_EQ(sends[i].num("presentation_ms"), static_cast<int64_t>(10 * i));
    EXPECT_EQ(sends[i].num("samples_per_channel"), 480);
    EXPECT_EQ(sends[i].num("bytes_per_sample"), 2);
    EXPECT_EQ(sends[i].num("channels"), 2);
    EXPECT_EQ(sends[i].num("sample_rate"), 48000);
    EXPECT_EQ(sends[i].num("reserved"), 0);
    EXPECT_EQ(sends[i].num("nonzero_samples"), 0);
  }
}

class Tick : public PeerTest {
 protected:
  dovrin::testing::ManualClock clock{1'000'000};
};

TEST_F(Tick, EmptyRuntimePrintsNothing) {
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(dovrin_rtc_desktop_tick(nullptr), -1);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 34), -1);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 3), 0);
}

TEST_F(Tick, EventLinesAreRateLimitedByTheEventsOwnTimes) {
  install_policy();
  policy().action = 0;
  const auto peer = established(1, true);
  loopback::Notification error;
  error.notice = loopback::Notice::error;
  error.numbers[0] = 17;
  error.text = "first";
  CaptureStderr();
  dovrin_rtc_desktop_tick(rtc);  // observations of the new slot
  GetCapturedStderr();

  loopback::notify(peer.connection, error);
  CaptureStderr();
  dovrin_rtc_desktop_tick(rtc);
  std::string err = GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("DOVRIN_RTC_SDK_EVENT sdk_version=263936 platform=2 category=1 operation=14 "
                             "raw_code=17 slot=1 generation=1"));
  EXPECT_THAT(err, HasSubstr("action=0 context_flags=0\n"));

  clock.advance(999);
  error.numbers[0] = 18;
  loopback::notify(peer.connection, error);
  clock.advance(5000);  // the tick is late; the event's own time counts
  CaptureStderr();
  dovrin_rtc_desktop_tick(rtc);
  EXPECT_EQ(GetCapturedStderr(), "") << "recorded 999 ms after the printed one";

  error.numbers[0] = 19;
  loopback::notify(peer.connection, error);
  CaptureStderr();
  dovrin_rtc_desktop_tick(rtc);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("raw_code=19"));

  policy().action = 3;
  error.numbers[0] = 20;
  loopback::notify(peer.connection, error);
  CaptureStderr();
  dovrin_rtc_desktop_tick(rtc);
  err = GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("raw_code=20")) << "a fatal event shows at once";
  EXPECT_THAT(err, HasSubstr("DOVRIN_RTC_NATIVE_PEER event=14 code=20 faults=0 remote_detail=0\n"));
  CaptureStderr();
  dovrin_rtc_desktop_tick(rtc);
  EXPECT_EQ(GetCapturedStderr(), "") << "a failed slot reports once";
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 1), -2);
}

TEST_F(Tick, QualityLineRepeatsWhenDroppedBlocksDouble) {
  const auto peer = established(0);
  dovrin_rtc_desktop_tick(rtc);
  uint64_t dropped = 0;
  std::vector<uint64_t> printed;
  for (uint64_t target : {1, 1, 2, 3, 4, 9}) {
    // 20 blocks fill the remote ring; each frame after that drops one.
    for (; dropped < target; ++dropped) {
      if (dropped == 0) {
        for (int i = 0; i < 20; ++i) remote_frame(peer.local_user, 1);
      }
      remote_frame(peer.local_user, 1);
    }
    CaptureStderr();
    dovrin_rtc_desktop_tick(rtc);
    const std::string err = GetCapturedStderr();
    if (!err.empty()) {
      EXPECT_EQ(err, "DOVRIN_RTC_NATIVE_QUALITY dropped_remote_blocks=" + std::to_string(target) + "\n");
      printed.push_back(target);
    }
  }
  EXPECT_EQ(printed, (std::vector<uint64_t>{1, 2, 4, 9}));
}

TEST_F(Tick, SubscribesOncePerArrivalAndOffersObservations) {
  install_policy();
  policy().probe_answer = 0;  // every observation is recorded
  const auto peer = established(2, true);
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  auto subscriptions = loopback::local_user_state(peer.local_user)->subscriptions;
  ASSERT_EQ(subscriptions.size(), 1u);
  EXPECT_EQ(subscriptions[0].user_id, "7");
  EXPECT_EQ(subscriptions[0].options, 0);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 2), 1);

  std::vector<std::pair<int, int>> observed;
  for (const auto& e : policy().events()) {
    if (e.category == 5) observed.emplace_back(e.operation, e.raw_code);
  }
  EXPECT_EQ(observed, (std::vector<std::pair<int, int>>{{22, 1}, {24, 1}}));
  DovrinRtcSdkEvent link{};
  ASSERT_EQ(dovrin_rtc_desktop_error(rtc, 2, 3, &link), 1);
  EXPECT_EQ(link.operation, 22);

  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  EXPECT_EQ(loopback::local_user_state(peer.local_user)->subscriptions.size(), 1u) << "same generation";
  loopback::notify(peer.connection, user_notice(loopback::Notice::user_left, "7", 0));
  loopback::notify(peer.connection, user_notice(loopback::Notice::user_joined, "7"));
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  EXPECT_EQ(loopback::local_user_state(peer.local_user)->subscriptions.size(), 2u) << "a new arrival";
}

TEST_F(Tick, FailedSubscriptionUnderPolicy) {
  struct Case {
    uint32_t action;
    size_t subscriptions_after_second_tick;
  } cases[] = {{0, 1}, {1, 2}};
  for (const Case& c : cases) {
    restart_with_policy(c.action);
    established(0, true);
    loopback::clear_journal();
    loopback::fail_with("local_user.subscribe_audio", -2);
    ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
    DovrinRtcSdkEvent out{};
    ASSERT_EQ(dovrin_rtc_desktop_error(rtc, 0, 0, &out), 1);
    EXPECT_EQ(out.operation, 19);
    EXPECT_EQ(out.raw_code, -2);
    EXPECT_EQ(out.context_flags, 2);
    ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
    EXPECT_EQ(loopback::journal("local_user.subscribe_audio").size(), c.subscriptions_after_second_tick)
        << "action " << c.action << ": 0 marks the user unavailable, 1 retries";
  }
}

TEST_F(Tick, RecoveryDeadlineFailsTheSlot) {
  ASSERT_EQ(dovrin_rtc_desktop_recovery_config(rtc, 999), -1);
  ASSERT_EQ(dovrin_rtc_desktop_recovery_config(rtc, 60001), -1);
  ASSERT_EQ(dovrin_rtc_desktop_recovery_config(nullptr, 2000), -2);
  ASSERT_EQ(dovrin_rtc_desktop_recovery_config(rtc, 2000), 0);
  const auto peer = established(5);
  loopback::Notification lost;
  lost.notice = loopback::Notice::connection_lost;
  loopback::notify(peer.connection, lost);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 5), 2);
  clock.advance(1999);
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 5), 2);
  clock.advance(1);
  CaptureStderr();
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  EXPECT_EQ(GetCapturedStderr(), "DOVRIN_RTC_NATIVE_PEER event=15 code=0 faults=0 remote_detail=0\n");
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 5), -2);
}

}  // namespace
