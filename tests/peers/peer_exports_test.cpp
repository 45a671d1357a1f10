// Joining, leaving and polling peer slots through the C interface.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/peer_fixture.h"

namespace {

using dovrin::testing::kChannel;
using dovrin::testing::PeerTest;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class Join : public PeerTest {};

TEST_F(Join, ArgumentLimits) {
  const std::string channel64(64, 'c'), channel65(65, 'c');
  const std::string token4096(4096, 't'), token4097(4097, 't');
  struct Case {
    const char* name;
    uint32_t slot;
    const char* channel;
    const char* token;
    uint32_t local, remote;
    int32_t result;
  } cases[] = {
      {"slot 34", 34, kChannel, "t", 1, 2, -1},
      {"null channel", 0, nullptr, "t", 1, 2, -1},
      {"empty channel", 0, "", "t", 1, 2, -1},
      {"65-byte channel", 0, channel65.c_str(), "t", 1, 2, -1},
      {"null token", 0, kChannel, nullptr, 1, 2, -1},
      {"empty token", 0, kChannel, "", 1, 2, -1},
      {"4097-byte token", 0, kChannel, token4097.c_str(), 1, 2, -1},
      {"local 0", 0, kChannel, "t", 0, 2, -1},
      {"remote 0", 0, kChannel, "t", 1, 0, -1},
      {"same ids", 0, kChannel, "t", 5, 5, -1},
      {"64-byte channel", 0, channel64.c_str(), "t", 1, 2, 0},
      {"4096-byte token", 1, kChannel, token4096.c_str(), 1, 2, 0},
      {"slot 33", 33, kChannel, "t", 1, 2, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dovrin_rtc_desktop_join(rtc, c.slot, c.channel, c.token, c.local, c.remote), c.result) << c.name;
  }
  EXPECT_EQ(dovrin_rtc_desktop_join(nullptr, 0, kChannel, "t", 1, 2), -1);
}

TEST_F(Join, CallsInOrderWithTheirArguments) {
  loopback::clear_journal();
  ASSERT_EQ(join(3), 0);
  const std::vector<std::string> expected = {
      "service.create_connection",
      "factory.create_pcm_sender",
      "service.create_pcm_audio_track",
      "connection.get_local_user",
      "local_user.set_audio_scenario",
      "connection.register_observer",
      "local_user.set_before_mixing_parameters",
      "local_user.register_audio_frame_observer",
      "local_user.set_playback_signal_volume",
      "track.enable_local_playback",
      "track.set_enabled",
      "local_user.publish_audio",
      "connection.connect",
  };
  EXPECT_EQ(loopback::journal_ops(), expected);
  const auto config = loopback::journal("service.create_connection").at(0);
  EXPECT_EQ(config.num("auto_subscribe_audio"), 0);
  EXPECT_EQ(config.num("auto_subscribe_video"), 0);
  EXPECT_EQ(config.num("enable_audio_recording_or_playout"), 0);
  EXPECT_EQ(config.num("client_role_type"), 1);
  EXPECT_EQ(config.num("channel_profile"), 0);
  EXPECT_EQ(loopback::journal("local_user.set_audio_scenario").at(0).num("scenario"), 8);
  const auto format = loopback::journal("local_user.set_before_mixing_parameters").at(0);
  EXPECT_EQ(format.num("channels"), 1);
  EXPECT_EQ(format.num("sample_rate"), 48000);
  EXPECT_EQ(format.num("mode"), 0);
  EXPECT_EQ(format.num("samples_per_call"), 0);
  EXPECT_EQ(loopback::journal("local_user.set_playback_signal_volume").at(0).num("volume"), 0);
  const auto playback = loopback::journal("track.enable_local_playback").at(0);
  EXPECT_EQ(playback.num("enable"), 0);
  EXPECT_EQ(playback.num("sync"), 1);
  EXPECT_EQ(loopback::journal("track.set_enabled").at(0).num("enable"), 1);
  EXPECT_EQ(loopback::journal("connection.register_observer").at(0).num("deleter"), 0);
  const auto connect = loopback::journal("connection.connect").at(0);
  EXPECT_EQ(connect.text("token"), "token");
  EXPECT_EQ(connect.text("channel_id"), kChannel);
  EXPECT_EQ(connect.text("user_id"), "42");
  EXPECT_EQ(connect.num("join_flags"), 0);
  EXPECT_TRUE(connect.is_null("info"));
}

TEST_F(Join, OccupancyGenerationsAndMissingPolicy) {
  EXPECT_EQ(join(0, /*v2=*/true), -5) << "no policy installed";
  ASSERT_EQ(join(0), 0);
  EXPECT_EQ(join(0), -2) << "occupied";
  install_policy();
  loopback::fail_with("local_user.set_audio_scenario", 4);
  ASSERT_EQ(join(1, true), -3);
  EXPECT_EQ(join(1, true), -2) << "a failed join keeps its slot";
  EXPECT_EQ(event(1, 0).generation, 2u) << "rejected joins consumed no generation";
  ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 1), 0);
  ASSERT_EQ(join(1, true), 0);
  loopback::fail_with("connection.connect", 9);
  ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 1), 0);
  ASSERT_EQ(join(1, true), -3);
  EXPECT_EQ(event(1, 0).generation, 4u) << "each join past its checks takes a generation";
}

// One SDK step of a join failing, and the event it leaves.
struct Step {
  const char* operation;
  loopback::FaultKind kind;
  uint64_t after;  // the peer's calls of that operation let through first
  uint32_t event_operation;
  uint32_t category;
  int32_t raw_code;
};

class JoinStep : public PeerTest, public ::testing::WithParamInterface<Step> {
 protected:
  void fault() {
    const Step& s = GetParam();
    loopback::set_fault(s.operation, {s.kind, s.raw_code, 1, s.after});
  }
};

TEST_P(JoinStep, PlainJoinLatchesTheRuntime) {
  const Step& s = GetParam();
  fault();
  CaptureStderr();
  EXPECT_EQ(join(2), -3);
  GetCapturedStderr();
  const DovrinRtcSdkEvent failure = event(2, 1);
  EXPECT_EQ(failure.operation, s.event_operation);
  EXPECT_EQ(failure.category, s.category);
  EXPECT_EQ(failure.raw_code, s.raw_code);
  EXPECT_EQ(failure.action, 4) << "no policy: fatal";
  EXPECT_EQ(failure.context_flags, 2);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), -2) << "the runtime has failed";
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("DOVRIN_RTC_NATIVE_PEER slot=2 "));
}

TEST_P(JoinStep, V2JoinOnlyRecordsTheEvent) {
  const Step& s = GetParam();
  install_policy();
  policy().action = 1;
  fault();
  EXPECT_EQ(join(2, true), -3);
  const DovrinRtcSdkEvent latest = event(2, 0);
  EXPECT_EQ(latest.operation, s.event_operation);
  EXPECT_EQ(latest.category, s.category);
  EXPECT_EQ(latest.raw_code, s.raw_code);
  EXPECT_EQ(latest.action, 1);
  EXPECT_EQ(event(2, 1).sequence, 0u) << "tolerated: no failure record";
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), 0) << "the runtime is still usable";
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 2), 0);
  ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 2), 0);
}

using loopback::FaultKind;
INSTANTIATE_TEST_SUITE_P(
    Steps, JoinStep,
    ::testing::Values(Step{"local_user.set_audio_scenario", FaultKind::code, 0, 22, 4, 3},
                      Step{"connection.register_observer", FaultKind::code, 0, 23, 4, 5},
                      Step{"local_user.set_before_mixing_parameters", FaultKind::code, 0, 24, 4, -7},
                      Step{"local_user.register_audio_frame_observer", FaultKind::code, 0, 25, 4, 8},
                      Step{"local_user.set_playback_signal_volume", FaultKind::code, 0, 26, 4, 1},
                      Step{"track.enable_local_playback", FaultKind::code, 0, 27, 4, 2},
                      Step{"track.set_enabled", FaultKind::code, 0, 28, 4, 6},
                      Step{"local_user.publish_audio", FaultKind::code, 0, 29, 4, 10},
                      Step{"connection.connect", FaultKind::code, 0, 21, 4, 17},
                      Step{"service.create_connection", FaultKind::null, 0, 30, 5, -3},
                      Step{"service.create_pcm_audio_track", FaultKind::null, 0, 30, 5, -3},
                      Step{"connection.get_local_user", FaultKind::null, 0, 30, 5, -3}));

TEST_F(Join, ExceptionLatchesTheRuntimeInBothVariants) {
  install_policy();
  loopback::throw_from("local_user.publish_audio");
  EXPECT_EQ(join(0, true), -3);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), -2);
  GetCapturedStderr();
}


// The connection's state as the host sees it, driven by the stand-in's
// notifications on a joined peer.
struct Script {
  const char* name;
  bool v2;
  std::vector<loopback::Notification> notices;
  int32_t status;
  int failure_event;  // printed by the tick's peer line; 0 when none
};

class ConnectionStates : public PeerTest, public ::testing::WithParamInterface<Script> {};

TEST_P(ConnectionStates, StatusFollowsTheNotifications) {
  const Script& script = GetParam();
  if (script.v2) install_policy();
  ASSERT_EQ(join(0, script.v2), 0);
  const auto peer = newest_peer();
  for (const auto& notice : script.notices) loopback::notify(peer.connection, notice);
  CaptureStderr();
  ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), script.status);
  if (script.failure_event != 0) {
    EXPECT_THAT(err, HasSubstr("DOVRIN_RTC_NATIVE_PEER event=" + std::to_string(script.failure_event) + " "));
  } else {
    EXPECT_THAT(err, ::testing::Not(HasSubstr("DOVRIN_RTC_NATIVE_PEER")));
  }
}

loopback::Notification notice(loopback::Notice kind) {
  loopback::Notification n = PeerTest::connected_notice();
  n.notice = kind;
  return n;
}
const loopback::Notification kConnected = PeerTest::connected_notice();
const loopback::Notification kJoined = PeerTest::user_notice(loopback::Notice::user_joined, "7");

INSTANTIATE_TEST_SUITE_P(
    Scripts, ConnectionStates,
    ::testing::Values(
        Script{"connecting", false, {}, 0, 0},
        Script{"connected", false, {kConnected, kJoined}, 1, 0},
        Script{"local_user_042", false, {PeerTest::connected_notice(kChannel, "042")}, -2, 1},
        Script{"other_channel", false, {PeerTest::connected_notice("room-2", "42")}, -2, 1},
        Script{"second_connected", false, {kConnected, kJoined, kConnected}, -2, 2},
        Script{"lost", false, {kConnected, kJoined, notice(loopback::Notice::connection_lost)}, 2, 0},
        Script{"reconnected", false,
               {kConnected, kJoined, notice(loopback::Notice::connection_lost),
                notice(loopback::Notice::reconnected)},
               1, 0},
        Script{"remote_dropped", false,
               {kConnected, kJoined, PeerTest::user_notice(loopback::Notice::user_left, "7", 1)}, 2, 0},
        Script{"remote_back", false,
               {kConnected, kJoined, PeerTest::user_notice(loopback::Notice::user_left, "7", 1), kJoined},
               1, 0},
        Script{"remote_quit", false,
               {kConnected, kJoined, PeerTest::user_notice(loopback::Notice::user_left, "7", 0)}, -2, 12},
        Script{"remote_quit_judged_by_policy", true,
               {kConnected, kJoined, PeerTest::user_notice(loopback::Notice::user_left, "7", 0)}, 1, 0},
        Script{"disconnected", false, {kConnected, notice(loopback::Notice::disconnected)}, -2, 3}),
    [](const auto& script) { return std::string(script.param.name); });

class Leave : public PeerTest {};

TEST_F(Leave, StopsTheSdkObjectsAndFreesTheSlot) {
  const auto peer = established(4);
  loopback::clear_journal();
  ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 4), 0);
  const std::vector<std::string> expected = {
      "connection.get_local_user",  "track.set_enabled",
      "local_user.unpublish_audio", "connection.disconnect",
      "local_user.unregister_audio_frame_observer", "connection.unregister_observer",
  };
  EXPECT_EQ(loopback::journal_ops(), expected);
  EXPECT_EQ(loopback::connection_state(peer.connection), std::nullopt) << "released";
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 4), 0);
  EXPECT_EQ(dovrin_rtc_desktop_leave(rtc, 4), 0) << "an empty slot";
  EXPECT_EQ(dovrin_rtc_desktop_leave(rtc, 34), -1);
  EXPECT_EQ(dovrin_rtc_desktop_leave(nullptr, 0), -1);
}

TEST_F(Leave, PartialJoinUnregistersOnlyWhatItRegistered) {
  loopback::fail_with("connection.register_observer", 3);
  ASSERT_EQ(join(0), -3);
  loopback::clear_journal();
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_leave(rtc, 0), 0) << "leave works on a failed runtime";
  GetCapturedStderr();
  for (const auto& op : loopback::journal_ops()) {
    EXPECT_NE(op, "connection.unregister_observer");
    EXPECT_NE(op, "local_user.unregister_audio_frame_observer");
    EXPECT_NE(op, "local_user.unpublish_audio");
  }
}

TEST_F(Leave, LatePeerCallbacksFindLiveClosedObjects) {
  established(0);
  const auto frames = loopback::frame_observers_ever();
  const auto observers = loopback::connection_observers_ever();
  ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 0), 0);
  // The runtime's own observer was registered first; the peer's came later.
  auto* peer_frames = frames.back().observer;
  auto* peer_connection = observers.back().observer;
  std::array<int16_t, 480> samples{};
  loopback::FrameFormat format;
  format.channels = 1;
  const auto answers = loopback::deliver_frame_to(
      peer_frames, {loopback::Position::before_mixing_text, nullptr, "7", 0, format, samples});
  EXPECT_TRUE(answers.known);
  EXPECT_TRUE(loopback::notify_observer(peer_connection, user_notice(loopback::Notice::user_left, "7")));
  EXPECT_TRUE(loopback::notify_observer(peer_connection, connected_notice()));
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), 0) << "nothing reached the runtime";
}

TEST_F(Leave, AtMostThirtyFourLeavesPerRuntime) {
  for (int i = 0; i < 34; ++i) {
    ASSERT_EQ(join(0), 0) << i;
    ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 0), 0) << i;
  }
  ASSERT_EQ(join(0), 0);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_leave(rtc, 0), -2);
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), -2) << "the 35th leave fails the runtime";
  GetCapturedStderr();
}

TEST_F(Leave, FailedDisconnectRetiresThePeerAndLatches) {
  established(0);
  loopback::fail_with("connection.disconnect", 5);
  EXPECT_EQ(dovrin_rtc_desktop_leave(rtc, 0), -3);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), -2);
  GetCapturedStderr();
  DovrinRtcSdkEvent out;
  EXPECT_EQ(dovrin_rtc_desktop_error(rtc, 0, 0, &out), 0) << "the slot is empty again";
}

TEST_F(Leave, ThrowingDisconnectRetiresThePeerAndLatches) {
  established(0);
  loopback::throw_from("connection.disconnect");
  EXPECT_EQ(dovrin_rtc_desktop_leave(rtc, 0), -3);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), -2);
  GetCapturedStderr();
  loopback::clear_journal();
  EXPECT_EQ(dovrin_rtc_desktop_leave(rtc, 0), 0);
  EXPECT_TRUE(loopback::journal_ops().empty()) << "the slot is empty again: nothing left to stop";
}

class PeerPoll : public PeerTest {};

TEST_F(PeerPoll, RemoteBlocksOfTheConnectedUser) {
  const auto peer = established(6);
  DovrinRtcAudioBlock block;
  EXPECT_EQ(remote_frame(peer.local_user, 5, "8").accepted, 1u) << "another user is counted, not queued";
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 7, &block), 0);
  remote_frame(peer.local_user, 321);
  ASSERT_EQ(dovrin_rtc_desktop_poll(rtc, 7, &block), 1);
  EXPECT_EQ(block.epoch, 2u);
  EXPECT_EQ(block.channels, 1u);
  EXPECT_EQ(block.samples[0], 321);
  EXPECT_EQ(block.samples[480], 0);
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 7, &block), 0);
}

TEST_F(PeerPoll, FramesBeforeTheConnectionIsConfirmedAreIgnored) {
  ASSERT_EQ(join(0), 0);
  const auto peer = newest_peer();
  remote_frame(peer.local_user, 1);
  DovrinRtcAudioBlock block;
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 1, &block), 0);
}

TEST_F(PeerPoll, FailedPeerPrintsItsFaultLineOnce) {
  const auto peer = established(0);
  std::array<int16_t, 441> samples{};
  loopback::FrameFormat format;
  format.channels = 1;
  format.samples_per_sec = 44100;
  format.samples_per_channel = 441;
  loopback::deliver_before_mixing_text(peer.local_user, nullptr, "7", format, samples);
  DovrinRtcAudioBlock block;
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 1, &block), -3);
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 1, &block), -3);
  const uint64_t detail = (2ull << 56) | (44100ull << 24) | (1ull << 16) | 441ull;
  EXPECT_EQ(GetCapturedStderr(), "DOVRIN_RTC_NATIVE_POLL_FAULT local=0 event=0 code=0 faults=1 remote_detail=" +
                                     std::to_string(detail) + "\n");
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  EXPECT_EQ(GetCapturedStderr(), "") << "the poll already reported the slot";
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), 0) << "other slots keep working";
}

TEST_F(PeerPoll, TickThatReportedFirstSilencesThePoll) {
  const auto peer = established(2);
  loopback::Notification error;
  error.notice = loopback::Notice::error;
  error.numbers[0] = 9;
  loopback::notify(peer.connection, error);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
  EXPECT_EQ(GetCapturedStderr(), "DOVRIN_RTC_NATIVE_PEER event=14 code=9 faults=0 remote_detail=0\n");
  DovrinRtcAudioBlock block;
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 3, &block), -3);
  EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
