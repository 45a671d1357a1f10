// Driving: notifications to connection observers, PCM into sinks and frames
// through audio frame observers, from the test's thread.
#include <algorithm>
#include <cstdlib>
#include <new>

#include "loopback_env.h"
#include "support/allocation_counter.h"

namespace loopback_test {
namespace {

using loopback::FrameFormat;
using loopback::Notice;
using loopback::Notification;
using loopback::Position;

class LoopbackDriving : public LoopbackTest {};

using dovrin::testing::allocations_during;

TEST_F(LoopbackDriving, EveryNotificationReachesTheRegisteredObserversInOrder) {
  const loopback::ConnectionInfo info{7, "room", 2, "1001", 9};
  const struct {
    Notification n;
    const char* seen;
  } cases[] = {
      {{Notice::connected, info, {}, {}, {1}},
       "connected id=7 channel='room' state=2 local='1001' internal=9 reason=1"},
      {{Notice::disconnected, {0, "", 0, std::nullopt, 0}, {}, {}, {5}},
       "disconnected id=0 channel='' state=0 local=(absent) internal=0 reason=5"},
      {{Notice::connecting, {}, {}, {}, {0}},
       "connecting id=0 channel=(absent) state=0 local=(absent) internal=0 reason=0"},
      {{Notice::reconnecting, info, {}, {}, {2}},
       "reconnecting id=7 channel='room' state=2 local='1001' internal=9 reason=2"},
      {{Notice::reconnected, info, {}, {}, {1}},
       "reconnected id=7 channel='room' state=2 local='1001' internal=9 reason=1"},
      {{Notice::connection_lost, info, {}, {}, {}},
       "lost id=7 channel='room' state=2 local='1001' internal=9 reason=-1"},
      {{Notice::lastmile_quality, {}, {}, {}, {8}}, "lastmile_quality 8"},
      {{Notice::lastmile_probe_result, {}, {}, {}, {1, 40}}, "probe 1 40"},
      {{Notice::token_privilege_will_expire, {}, "tok", {}, {}}, "will_expire 'tok'"},
      {{Notice::token_privilege_did_expire, {}, {}, {}, {}}, "did_expire"},
      {{Notice::renew_token_result, {}, "tok", {}, {-7}}, "renew 'tok' -7"},
      {{Notice::connection_failure, info, {}, {}, {4}},
       "failure id=7 channel='room' state=2 local='1001' internal=9 reason=4"},
      {{Notice::user_joined, {}, "2002", {}, {}}, "joined '2002'"},
      {{Notice::user_joined, {}, std::nullopt, {}, {}}, "joined (null)"},
      {{Notice::user_left, {}, "2002", {}, {1}}, "left '2002' 1"},
      {{Notice::transport_stats, {}, {}, {}, {10, 20, 30}}, "stats 10 20 30"},
      {{Notice::change_role_success, {}, {}, {}, {2, 1}}, "role_ok 2 1"},
      {{Notice::change_role_failure, {}, {}, {}, {3, 2}}, "role_failed 3 2"},
      {{Notice::user_network_quality, {}, "2002", {}, {1, 2}}, "quality '2002' 1 2"},
      {{Notice::network_type_changed, {}, {}, {}, {2}}, "network 2"},
      {{Notice::api_call_executed, {}, "join", std::nullopt, {-3}}, "api -3 'join' (null)"},
      {{Notice::content_inspect_result, {}, {}, {}, {1}}, "inspect 1"},
      {{Notice::snapshot_taken, {}, "room", "/tmp/x", {5, 640, 480, 0}},
       "snapshot 'room' 5 '/tmp/x' 640 480 0"},
      {{Notice::error, {}, "bad", {}, {17}}, "error 17 'bad'"},
      {{Notice::channel_media_relay_state_changed, {}, {}, {}, {2, 0}}, "relay 2 0"},
  };
  Env& e = make_env();
  const uint64_t connection = e.id(e.connection.get());
  TestConnectionObserver first, second;
  ASSERT_EQ(e.connection->registerObserver(&first), 0);
  ASSERT_EQ(e.connection->registerObserver(&second), 0);
  EXPECT_EQ(loopback::connection_state(connection)->observers,
            (std::vector<agora::rtc::IRtcConnectionObserver*>{&first, &second}));

  loopback::clear_journal();
  std::vector<std::string> expected;
  std::vector<bool> notices(loopback::kNoticeCount, false);
  for (const auto& c : cases) {
    EXPECT_EQ(loopback::notify(connection, c.n), 2u);
    expected.emplace_back(c.seen);
    notices[static_cast<size_t>(c.n.notice)] = true;
  }
  EXPECT_EQ(first.calls(), expected);
  EXPECT_EQ(second.calls(), expected);
  EXPECT_EQ(std::count(notices.begin(), notices.end(), false), 0) << "a notice is not covered";
  // Driving is not a call the library makes.
  EXPECT_TRUE(loopback::journal().empty());
  EXPECT_EQ(loopback::notify(connection + 1000, cases[0].n), 0u);
}

TEST_F(LoopbackDriving, AnUnregisteredObserverCanStillGetALateCallback) {
  Env& e = make_env();
  const uint64_t connection = e.id(e.connection.get());
  TestConnectionObserver left, unknown;
  static int deleted = 0;
  deleted = 0;
  auto* handed_over = new TestConnectionObserver;
  ASSERT_EQ(e.connection->registerObserver(&left), 0);
  ASSERT_EQ(e.connection->registerObserver(handed_over, [](agora::rtc::IRtcConnectionObserver* o) {
    ++deleted;
    delete o;
  }), 0);
  ASSERT_EQ(e.connection->unregisterObserver(&left), 0);
  ASSERT_EQ(e.connection->unregisterObserver(handed_over), 0);
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(e.connection->unregisterObserver(&left), -2);

  const Notification joined{Notice::user_joined, {}, "3003", {}, {}};
  EXPECT_EQ(loopback::notify(connection, joined), 0u);
  EXPECT_TRUE(loopback::notify_observer(&left, joined));
  EXPECT_FALSE(loopback::notify_observer(handed_over, joined));
  EXPECT_FALSE(loopback::notify_observer(&unknown, joined));
  EXPECT_EQ(left.calls(), std::vector<std::string>{"joined '3003'"});

  // The connection is gone too (a left peer's), the observer still answers.
  e.connection.reset();
  EXPECT_TRUE(loopback::notify_observer(&left, joined));
  const auto ever = loopback::connection_observers_ever();
  ASSERT_EQ(ever.size(), 2u);
  EXPECT_EQ(ever[0].observer, &left);
  EXPECT_EQ(ever[0].owner, connection);
  EXPECT_FALSE(ever[0].registered);
  EXPECT_TRUE(ever[1].deleted);

  loopback::reset();
  EXPECT_FALSE(loopback::notify_observer(&left, joined));
  EXPECT_TRUE(loopback::connection_observers_ever().empty());
}

TEST_F(LoopbackDriving, AConnectionHandsObserversWithADeleterBackWhenItGoes) {
  Env& e = make_env();
  static int deleted = 0;
  deleted = 0;
  ASSERT_EQ(e.connection->registerObserver(new TestConnectionObserver,
                                           [](agora::rtc::IRtcConnectionObserver* o) {
                                             ++deleted;
                                             delete o;
                                           }),
            0);
  e.connection.reset();
  EXPECT_EQ(deleted, 1);
}

TEST_F(LoopbackDriving, FramesPassThroughTheObserversOfTheirPosition) {
  const struct {
    Position position;
    const char* channel;
    const char* user;
    unsigned uid;
    bool base_called;
  } cases[] = {
      {Position::playback, "room", nullptr, 0, true},
      {Position::record, nullptr, nullptr, 0, true},
      {Position::mixed, "", nullptr, 0, true},
      {Position::ear_monitoring, nullptr, nullptr, 0, true},
      {Position::before_mixing_text, "room", "2002", 0, true},
      {Position::before_mixing_text, nullptr, nullptr, 0, true},
      {Position::before_mixing_uid, "room", nullptr, 2002, false},
      {Position::before_mixing_uid, nullptr, nullptr, 0, false},
  };
  Env& e = make_env();
  const uint64_t user = e.id(e.local_user);
  FullFrameObserver full;
  BaseFrameObserver base;
  full.fill = 1000;
  base.fill = 2000;
  base.answer = false;
  ASSERT_EQ(e.local_user->registerAudioFrameObserver(&full), 0);
  ASSERT_EQ(e.local_user->registerAudioFrameObserver(&base), 0);
  const FrameFormat format{0, 480, 2, 2, 48000, 11, 1, 12, 3, 13};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.position));
    full.calls = 0;
    base.calls = 0;
    std::vector<int16_t> buffer(960, -1);
    const auto answers =
        loopback::deliver_frame(user, {c.position, c.channel, c.user, c.uid, format, buffer});
    EXPECT_TRUE(answers.known);
    EXPECT_EQ(answers.observers, c.base_called ? 2u : 1u);
    EXPECT_EQ(answers.accepted, 1u);
    EXPECT_TRUE(answers.answers[0]);
    EXPECT_FALSE(answers.answers[1]);
    EXPECT_EQ(full.calls, 1);
    EXPECT_EQ(base.calls, c.base_called ? 1 : 0);

    const SeenFrame& seen = full.seen;
    EXPECT_EQ(seen.position, static_cast<int>(c.position));
    if (c.position != Position::ear_monitoring) {
      EXPECT_EQ(seen.channel_null, c.channel == nullptr);
      EXPECT_STREQ(seen.channel, c.channel == nullptr ? "" : c.channel);
    }
    EXPECT_EQ(seen.user_null, c.user == nullptr);
    EXPECT_EQ(seen.uid, c.uid);
    EXPECT_EQ(seen.frame.buffer, buffer.data());
    EXPECT_EQ(seen.frame.samplesPerChannel, 480);
    EXPECT_EQ(seen.frame.channels, 2);
    EXPECT_EQ(seen.frame.samplesPerSec, 48000);
    EXPECT_EQ(seen.frame.renderTimeMs, 11);
    EXPECT_EQ(seen.frame.presentationMs, 12);
    EXPECT_EQ(seen.frame.rtpTimestamp, 13u);
    // Only playback observers write; the later one's samples are what comes back.
    const int16_t expected_first = c.position == Position::playback ? 2000 : -1;
    EXPECT_EQ(buffer[0], expected_first);
    EXPECT_EQ(buffer[959], c.position == Position::playback ? 2000 + 959 : -1);
  }
  EXPECT_FALSE(loopback::deliver_frame(user + 1000, {}).known);
}

TEST_F(LoopbackDriving, FramesOfAnyFormatAndLateFramesAreDelivered) {
  Env& e = make_env();
  const uint64_t user = e.id(e.local_user);
  FullFrameObserver observer;
  ASSERT_EQ(e.local_user->registerAudioFrameObserver(&observer), 0);

  std::vector<int16_t> mono(441, 0);
  const auto pulled = loopback::pull_playback(user, {0, 441, 2, 1, 44100}, mono);
  EXPECT_EQ(pulled.observers, 1u);
  EXPECT_EQ(mono[440], 100 + 440);
  EXPECT_EQ(observer.seen.frame.samplesPerSec, 44100);

  // A null buffer, and a format whose buffer would not fit: the stand-in refuses
  // rather than let an observer write past the caller's samples.
  EXPECT_EQ(loopback::pull_playback(user, {0, 480, 2, 2, 48000}, {}).observers, 1u);
  EXPECT_EQ(observer.seen.frame.buffer, nullptr);
  EXPECT_THROW(loopback::pull_playback(user, {0, 480, 2, 2, 48000}, mono),
               std::invalid_argument);

  ASSERT_EQ(e.local_user->unregisterAudioFrameObserver(&observer), 0);
  EXPECT_EQ(loopback::deliver_record(user, {}, {}).observers, 0u);
  e.connection.reset();
  const auto late = loopback::deliver_frame_to(
      &observer, {Position::before_mixing_uid, nullptr, nullptr, 5, {}, {}});
  EXPECT_TRUE(late.known);
  EXPECT_EQ(late.observers, 1u);
  EXPECT_EQ(observer.seen.uid, 5u);
  BaseFrameObserver never;
  EXPECT_FALSE(loopback::deliver_frame_to(&never, {}).known);
  ASSERT_EQ(loopback::frame_observers_ever().size(), 1u);
  EXPECT_FALSE(loopback::frame_observers_ever()[0].registered);
}

TEST_F(LoopbackDriving, PcmReachesEverySinkOfItsTrack) {
  Env& e = make_env();
  const uint64_t track = e.id(e.capture_track.get());
  auto* accepting = new TestSink;
  auto* refusing = new TestSink;
  refusing->answer = false;
  agora_refptr<agora::rtc::IAudioSinkBase> keep_a(accepting), keep_r(refusing);
  ASSERT_TRUE(e.capture_track->addAudioSink(keep_a, {48000, 1}));
  ASSERT_TRUE(e.capture_track->addAudioSink(keep_r, {16000, 2}));
  ASSERT_TRUE(e.capture_track->addAudioSink(keep_r, {24000, 2}));
  const auto state = loopback::track_state(track);
  ASSERT_EQ(state->sinks.size(), 2u);
  EXPECT_EQ(state->sinks[1].sink, refusing);
  EXPECT_EQ(state->sinks[1].samples_per_sec, 24000);

  agora::media::base::AudioPcmFrame frame;
  frame.samples_per_channel_ = 160;
  frame.sample_rate_hz_ = 16000;
  frame.num_channels_ = 2;
  frame.data_[0] = 42;
  const auto answers = loopback::push_pcm(track, frame);
  EXPECT_TRUE(answers.known);
  EXPECT_EQ(answers.sinks, 2u);
  EXPECT_EQ(answers.accepted, 1u);
  EXPECT_TRUE(answers.answers[0]);
  EXPECT_FALSE(answers.answers[1]);
  EXPECT_EQ(accepting->last_first.load(), 42);
  EXPECT_EQ(refusing->last_rate.load(), 16000);
  EXPECT_EQ(refusing->last_channels.load(), 2u);
  EXPECT_EQ(refusing->last_samples.load(), 160u);

  EXPECT_EQ(e.capture_track->removeAudioSink(keep_a), 0);
  EXPECT_EQ(e.capture_track->removeAudioSink(keep_a), -2);
  EXPECT_EQ(loopback::push_pcm(track, frame).sinks, 1u);
  EXPECT_FALSE(loopback::push_pcm(track + 1000, frame).known);
}

TEST_F(LoopbackDriving, AudioDrivingAllocatesNothing) {
  Env& e = make_env();
  const uint64_t user = e.id(e.local_user);
  const uint64_t track = e.id(e.capture_track.get());
  FullFrameObserver full;
  BaseFrameObserver base;
  ASSERT_EQ(e.local_user->registerAudioFrameObserver(&full), 0);
  ASSERT_EQ(e.local_user->registerAudioFrameObserver(&base), 0);
  ASSERT_TRUE(e.capture_track->addAudioSink(new TestSink, {48000, 1}));
  ASSERT_TRUE(e.capture_track->addAudioSink(new TestSink, {48000, 1}));
  std::vector<int16_t> buffer(960);
  const FrameFormat format{};
  agora::media::base::AudioPcmFrame frame;
  frame.samples_per_channel_ = 480;
  frame.sample_rate_hz_ = 48000;
  frame.num_channels_ = 1;

  // The counter does see allocations, so a zero below means none were made.
  EXPECT_GT(allocations_during([] { std::string s(100, 'x'); }), 0u);
  size_t delivered = 0;
  const size_t allocations = allocations_during([&] {
    for (Position p : {Position::playback, Position::record, Position::mixed,
                       Position::ear_monitoring, Position::before_mixing_text,
                       Position::before_mixing_uid}) {
      delivered += loopback::deliver_frame(user, {p, "room", "7", 7, format, buffer}).observers;
    }
    delivered += loopback::deliver_frame_to(&full, {Position::playback, "", nullptr, 0, format,
                                                    buffer})
                     .observers;
    delivered += loopback::push_pcm(track, frame).sinks;
  });
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(delivered, 2u * 5 + 1 + 1 + 2);
}

}  // namespace
}  // namespace loopback_test
