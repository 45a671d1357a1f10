// Creation, destruction, the failure latch and audio switching, through the
// C interface over the stand-in SDK.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/runtime_fixture.h"

namespace {

using dovrin::testing::kAppId;
using dovrin::testing::RuntimeTest;
using dovrin::testing::sdk_path;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

int render_silence(void*, int16_t*, size_t frames) { return static_cast<int>(frames); }

class Lifecycle : public RuntimeTest {};

TEST_F(Lifecycle, AbiIsFive) { EXPECT_EQ(dovrin_rtc_desktop_abi(), 5); }

TEST_F(Lifecycle, InvalidArgumentsLeaveDiagnosticsZero) {
  int context = 0;
  struct Case {
    const char* name;
    const char* path;
    const char* app_id;
    DovrinRtcRenderCallback render;
    void* context;
  } cases[] = {
      {"31 characters", sdk_path(), "0123456789abcdef0123456789abcde", nullptr, nullptr},
      {"33 characters", sdk_path(), "0123456789abcdef0123456789abcdef0", nullptr, nullptr},
      {"not hexadecimal", sdk_path(), "0123456789abcdef0123456789abcdeg", nullptr, nullptr},
      {"empty", sdk_path(), "", nullptr, nullptr},
      {"null app id", sdk_path(), nullptr, nullptr, nullptr},
      {"null path", nullptr, kAppId, nullptr, nullptr},
      {"callback without context", sdk_path(), kAppId, &render_silence, nullptr},
      {"context without callback", sdk_path(), kAppId, nullptr, &context},
  };
  for (const Case& c : cases) {
    DovrinRtcRuntime* handle = reinterpret_cast<DovrinRtcRuntime*>(&context);
    DovrinRtcCreateDiagnostics why{9, 9, 9, 9};
    EXPECT_EQ(dovrin_rtc_desktop_create_diagnosed(c.path, c.app_id, c.render, c.context, &handle, &why), -1)
        << c.name;
    EXPECT_EQ(handle, nullptr) << c.name;
    EXPECT_EQ(why.stage | static_cast<uint32_t>(why.sdk_code) | why.reserved | why.code_kind, 0u) << c.name;
  }
  EXPECT_EQ(loopback::live_total(), 0u);
}

TEST_F(Lifecycle, NullHandleOutputStillZeroesDiagnostics) {
  DovrinRtcCreateDiagnostics why{1, 2, 3, 4};
  EXPECT_EQ(dovrin_rtc_desktop_create_diagnosed(sdk_path(), kAppId, nullptr, nullptr, nullptr, &why), -1);
  EXPECT_EQ(why.stage, 0u);
  EXPECT_EQ(why.sdk_code, 0);
  EXPECT_EQ(why.code_kind, 0u);
}

// One failing creation stage, reached through a stand-in fault.
struct Stage {
  const char* name;
  const char* operation;  // null: no fault, `path` decides
  loopback::FaultKind kind;
  int code;
  uint64_t after;
  const char* path;
  int32_t result;
  uint32_t stage;
  const char* api_line;  // expected on stderr, or null
};

class CreationStage : public Lifecycle, public ::testing::WithParamInterface<Stage> {};

TEST_P(CreationStage, FailsWithItsDiagnosticsAndReleasesEverything) {
  const Stage& s = GetParam();
  if (s.operation) loopback::set_fault(s.operation, {s.kind, s.code, 1, s.after});
  DovrinRtcCreateDiagnostics why{};
  DovrinRtcRuntime* handle = nullptr;
  CaptureStderr();
  const int32_t result = dovrin_rtc_desktop_create_diagnosed(s.path ? s.path : sdk_path(), kAppId,
                                                             nullptr, nullptr, &handle, &why);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(result, s.result);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(why.stage, s.stage);
  const bool sdk_stage = s.stage == 4 || s.stage == 6 || s.stage == 8;
  EXPECT_EQ(why.sdk_code, sdk_stage ? s.code : 0);
  EXPECT_EQ(why.code_kind, sdk_stage ? 2u : 0u);
  EXPECT_EQ(why.reserved, 0u);
  if (s.api_line) {
    EXPECT_EQ(err, s.api_line);
  } else {
    EXPECT_EQ(err, "");
  }
  EXPECT_EQ(loopback::live_total(), 0u) << "a failed creation releases what it made";
}

using loopback::FaultKind;
INSTANTIATE_TEST_SUITE_P(
    Stages, CreationStage,
    ::testing::Values(
        Stage{"unopenable", nullptr, FaultKind::code, 0, 0, "/nonexistent/libsdk.so", -31, 1, nullptr},
        Stage{"no entry", nullptr, FaultKind::code, 0, 0, "libm.so.6", -32, 2, nullptr},
        Stage{"null service", "create_agora_service", FaultKind::null, 0, 0, nullptr, -33, 3, nullptr},
        Stage{"initialize", "service.initialize", FaultKind::code, 7, 0, nullptr, -34, 4,
              "DOVRIN_RTC_NATIVE_API operation=32 code=7\n"},
        Stage{"device manager", "service.create_audio_device_manager", FaultKind::null, 0, 0, nullptr, -35, 5, nullptr},
        Stage{"node factory", "service.create_media_node_factory", FaultKind::null, 0, 0, nullptr, -35, 5, nullptr},
        Stage{"capture track", "service.create_local_audio_track", FaultKind::null, 0, 0, nullptr, -35, 5, nullptr},
        Stage{"pcm sender", "factory.create_pcm_sender", FaultKind::null, 0, 0, nullptr, -35, 5, nullptr},
        Stage{"playback track", "service.create_pcm_audio_track", FaultKind::null, 0, 0, nullptr, -35, 5, nullptr},
        Stage{"connection", "service.create_connection", FaultKind::null, 0, 0, nullptr, -35, 5, nullptr},
        Stage{"local user", "connection.get_local_user", FaultKind::null, 0, 0, nullptr, -36, 5, nullptr},
        Stage{"local playback", "track.enable_local_playback", FaultKind::code, 3, 0, nullptr, -37, 6,
              "DOVRIN_RTC_NATIVE_API operation=28 code=3\n"},
        Stage{"frame parameters", "local_user.set_playback_frame_parameters", FaultKind::code, -4, 0, nullptr, -37, 6,
              "DOVRIN_RTC_NATIVE_API operation=29 code=-4\n"},
        Stage{"observer", "local_user.register_audio_frame_observer", FaultKind::code, 5, 0, nullptr, -37, 6,
              "DOVRIN_RTC_NATIVE_API operation=30 code=5\n"},
        Stage{"sink refused", "track.add_audio_sink", FaultKind::code, 1, 0, nullptr, -38, 7, nullptr},
        Stage{"capture off", "track.set_enabled", FaultKind::code, 9, 0, nullptr, -39, 8,
              "DOVRIN_RTC_NATIVE_API operation=27 code=9\n"},
        Stage{"playback off", "track.set_enabled", FaultKind::code, 11, 1, nullptr, -39, 8,
              "DOVRIN_RTC_NATIVE_API operation=27 code=11\n"},
        Stage{"throws early", "service.initialize", FaultKind::exception, 0, 0, nullptr, -3, 0, nullptr},
        Stage{"throws late", "track.add_audio_sink", FaultKind::exception, 0, 0, nullptr, -3, 0, nullptr}),
    [](const auto& stage) {
      std::string name = stage.param.name;
      for (char& c : name) {
        if (c == ' ') c = '_';
      }
      return name;
    });

TEST_F(Lifecycle, CreationMakesItsCallsInOrderWithItsSettings) {
  create();
  const std::vector<std::string> ops = loopback::journal_ops();
  const std::vector<std::string> expected = {
      "create_agora_service",
      "service.initialize",
      "service.create_audio_device_manager",
      "service.create_media_node_factory",
      "service.create_local_audio_track",
      "factory.create_pcm_sender",
      "service.create_pcm_audio_track",
      "service.create_connection",
      "connection.get_local_user",
      "track.enable_local_playback",
      "local_user.set_playback_frame_parameters",
      "local_user.register_audio_frame_observer",
      "track.add_audio_sink",
      "track.set_enabled",
      "track.set_enabled",
  };
  EXPECT_EQ(ops, expected);

  const auto init = loopback::journal("service.initialize").at(0);
  EXPECT_EQ(init.num("enable_audio_processor"), 1);
  EXPECT_EQ(init.num("enable_audio_device"), 1);
  EXPECT_EQ(init.num("enable_video"), 0);
  EXPECT_EQ(init.text("app_id"), kAppId);
  EXPECT_EQ(init.num("channel_profile"), 0);
  EXPECT_EQ(init.num("audio_scenario"), 8);
  EXPECT_EQ(init.num("log_level"), 0);
  EXPECT_EQ(init.num("use_string_uid"), 0);
  EXPECT_EQ(init.num("area_code"), 0xFFFFFFFF) << "defaults stay";

  const auto conn = loopback::journal("service.create_connection").at(0);
  EXPECT_EQ(conn.num("auto_subscribe_audio"), 0);
  EXPECT_EQ(conn.num("auto_subscribe_video"), 0);
  EXPECT_EQ(conn.num("enable_audio_recording_or_playout"), 1);
  EXPECT_EQ(conn.num("channel_profile"), 0);

  const auto params = loopback::journal("local_user.set_playback_frame_parameters").at(0);
  EXPECT_EQ(params.num("channels"), 2);
  EXPECT_EQ(params.num("sample_rate"), 48000);
  EXPECT_EQ(params.num("mode"), 2);
  EXPECT_EQ(params.num("samples_per_call"), 960);

  const auto sink = loopback::journal("track.add_audio_sink").at(0);
  EXPECT_EQ(sink.num("samples_per_sec"), 48000);
  EXPECT_EQ(sink.num("channels"), 1);
  EXPECT_EQ(sink.object, capture_track);

  const auto switches = loopback::journal("track.set_enabled");
  EXPECT_EQ(switches.at(0).object, capture_track);
  EXPECT_EQ(switches.at(1).object, playback_track);
  EXPECT_EQ(switches.at(0).num("enable"), 0);
  EXPECT_EQ(loopback::journal("track.enable_local_playback").at(0).num("enable"), 0);
  EXPECT_EQ(loopback::journal("track.enable_local_playback").at(0).object, capture_track);
}

TEST_F(Lifecycle, DestroyTearsDownInOrderAndReleasesTheServiceLast) {
  create();
  loopback::clear_journal();
  destroy();
  std::vector<std::string> ops;
  for (const auto& e : loopback::journal()) ops.push_back(e.op);
  const std::vector<std::string> expected = {
      "track.set_enabled",           "track.set_enabled",
      "track.enable_local_playback", "track.remove_audio_sink",
      "connection.get_local_user",   "local_user.unregister_audio_frame_observer",
      "service.release",
  };
  EXPECT_EQ(ops, expected);
  const auto journal = loopback::journal();
  EXPECT_EQ(journal[0].object, capture_track);
  EXPECT_EQ(journal[1].object, playback_track);
  EXPECT_EQ(journal[2].num("enable"), 0);
  EXPECT_EQ(journal[2].num("sync"), 1);
  EXPECT_EQ(journal[2].num("reserved"), 0);
  EXPECT_EQ(loopback::live_total(), 0u);
}

// A teardown call that throws must not skip the ones after it: the service, the sink and
// the frame observer would stay alive and registered.
class DestroyWithThrowingCall : public RuntimeTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DestroyWithThrowingCall, StillMakesEveryCallAndReleasesEverything) {
  create();
  loopback::clear_journal();
  loopback::throw_from(GetParam());
  destroy();
  std::vector<std::string> ops;
  for (const auto& e : loopback::journal()) ops.push_back(e.op);
  const std::vector<std::string> expected = {
      "track.set_enabled",           "track.set_enabled",
      "track.enable_local_playback", "track.remove_audio_sink",
      "connection.get_local_user",   "local_user.unregister_audio_frame_observer",
      "service.release",
  };
  EXPECT_EQ(ops, expected);
  EXPECT_EQ(loopback::live_total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(TeardownCalls, DestroyWithThrowingCall,
                         ::testing::Values("track.set_enabled", "track.enable_local_playback",
                                           "track.remove_audio_sink",
                                           "local_user.unregister_audio_frame_observer"),
                         [](const auto& test) {
                           std::string name = test.param;
                           for (char& c : name) c = c == '.' ? '_' : c;
                           return name;
                         });

TEST_F(Lifecycle, DestroyWithAThrowingPeerLeaveStillReleasesEverything) {
  create();
  ASSERT_EQ(dovrin_rtc_desktop_join(rtc, 0, "room", "token", 1, 2), 0);
  loopback::throw_from("connection.disconnect");
  destroy();
  EXPECT_EQ(loopback::live_total(), 0u);
}

TEST_F(Lifecycle, DestroyNullIsANoOp) { dovrin_rtc_desktop_destroy(nullptr); }

TEST_F(Lifecycle, IoSwitchesTracksAndChecksItsArguments) {
  create();
  EXPECT_EQ(dovrin_rtc_desktop_io(nullptr, 0, 0), -1);
  EXPECT_EQ(dovrin_rtc_desktop_io(rtc, 2, 0), -1);
  EXPECT_EQ(dovrin_rtc_desktop_io(rtc, 0, 2), -1);
  loopback::clear_journal();
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  EXPECT_TRUE(loopback::track_state(capture_track)->enabled);
  EXPECT_FALSE(loopback::track_state(playback_track)->enabled);
  EXPECT_FALSE(loopback::track_state(playback_track)->local_playback);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  EXPECT_FALSE(loopback::track_state(capture_track)->enabled);
  EXPECT_TRUE(loopback::track_state(playback_track)->enabled);
  EXPECT_TRUE(loopback::track_state(playback_track)->local_playback);
  const auto local = loopback::journal("track.enable_local_playback");
  ASSERT_EQ(local.size(), 2u);
  EXPECT_EQ(local[1].num("enable"), 1);
  EXPECT_EQ(local[1].num("sync"), 1);
  EXPECT_EQ(local[1].num("reserved"), 0);
}

TEST_F(Lifecycle, EachSwitchingMakesEarlierCaptureStale) {
  create();
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);  // generation 2
  ASSERT_TRUE(push_capture(100));
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);  // generation 3
  ASSERT_TRUE(push_capture(200));
  DovrinRtcAudioBlock block;
  ASSERT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), 1);
  EXPECT_EQ(block.epoch, 3u);
  EXPECT_EQ(block.samples[0], 200) << "the generation 2 block was skipped";
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), 0);
}

// An SDK failure latches the runtime: every gated export answers -2, and
// the fault line shows once, at the first gated call after the failure.
TEST_F(Lifecycle, FailedSwitchingLatchesTheRuntimeAndReportsOnce) {
  create();
  loopback::fail_with("track.set_enabled", 6);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), -3);
  EXPECT_EQ(GetCapturedStderr(), "DOVRIN_RTC_NATIVE_API operation=27 code=6\n");

  DovrinRtcAudioBlock block;
  uint64_t gaps = 0;
  int16_t samples[960] = {};
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_io(rtc, 0, 0), -2);
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), -2);
  EXPECT_EQ(dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps), -2);
  EXPECT_EQ(dovrin_rtc_desktop_play(rtc, samples, 480), -2);
  EXPECT_EQ(dovrin_rtc_desktop_capture_config(rtc, 1000), -2);
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), -2);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), -2);
  EXPECT_EQ(GetCapturedStderr(), "DOVRIN_RTC_NATIVE_FAULT physical=1 capture=0\n");

  DovrinRtcAudioHealthSnapshot health;
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0) << "works on a failed runtime";
  EXPECT_EQ(health.terminal_issue, 9u) << "runtime_fault";
}

TEST_F(Lifecycle, ExceptionDuringSwitchingLatchesTheRuntime) {
  create();
  loopback::throw_from("track.enable_local_playback");
  EXPECT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), -3);
  CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_io(rtc, 0, 0), -2);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("DOVRIN_RTC_NATIVE_FAULT"));
}

TEST_F(Lifecycle, RejectedCaptureFrameFailsTheRuntimeAtItsNextCheck) {
  create();
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), 0);
  EXPECT_FALSE(push_capture(1, 44100));
  CaptureStderr();
  DovrinRtcAudioBlock block;
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &block), -2);
  EXPECT_EQ(GetCapturedStderr(), "DOVRIN_RTC_NATIVE_FAULT physical=1 capture=1\n");
  DovrinRtcAudioHealthSnapshot health;
  ASSERT_EQ(dovrin_rtc_desktop_audio_health(rtc, &health), 0);
  EXPECT_EQ(health.terminal_issue, 8u) << "sink_rejected";
}

TEST_F(Lifecycle, RenderCallbackRuntimeRefusesSubmittedPlayback) {
  int context = 0;
  create(&render_silence, &context);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  int16_t samples[960] = {};
  EXPECT_EQ(dovrin_rtc_desktop_play(rtc, samples, 480), -4);
}

}  // namespace
