// The live mode of the stand-in on its own: the lock-step clock, the engine
// threads of a service (capture into sinks by their wants, playback into the
// speaker tap, notifications), bots over seeded paths, release joining the
// threads, and the guards that keep long runs safe (refused manual driving,
// bounded journal, scoped faults).
#include <time.h>

#include <array>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "loopback_env.h"
#include "support/allocation_counter.h"

namespace loopback_test {
namespace {

agora::base::AgoraServiceConfiguration with_device(bool device = true) {
  agora::base::AgoraServiceConfiguration config;
  config.enableAudioDevice = device;
  return config;
}

// A bot, user "9", in the channel "hall", and what connects user "5" there.
uint64_t hall_bot() {
  loopback::BotOptions bot;
  bot.channel = "hall";
  bot.user_id = "9";
  return loopback::add_bot(bot);
}

agora::rtc::TConnectSettings hall_settings() {
  agora::rtc::TConnectSettings settings;
  settings.token = "t";
  settings.channelId = "hall";
  settings.userId = "5";
  return settings;
}

class LoopbackLive : public LoopbackTest {
 protected:
  void TearDown() override {
    loopback::stop_live();
    LoopbackTest::TearDown();
  }
  void start(uint64_t seed = 7, uint64_t start_ms = 5000) {
    loopback::LiveOptions options;
    options.seed = seed;
    options.start_ms = start_ms;
    loopback::start_live(options);
  }
};

void count_up(void* counter, int16_t* out, size_t count, uint64_t) {
  auto* n = static_cast<int16_t*>(counter);
  std::fill(out, out + count, (*n)++);
}

TEST_F(LoopbackLive, TheLockStepClockMovesOnlyWhenAsked) {
  Env& e = make_env();
  ASSERT_EQ(e.service->initialize(with_device()), 0);
  start(7, 5000);
  EXPECT_EQ(loopback::now_ms(), 5000u);
  EXPECT_EQ(loopback::now_ms(), 5000u);
  loopback::run_for(30);
  EXPECT_EQ(loopback::now_ms(), 5030u);
  EXPECT_THROW(loopback::start_live(), std::logic_error);
  loopback::stop_live();
  EXPECT_FALSE(loopback::is_live());
  EXPECT_THROW(loopback::run_for(10), std::logic_error);
}

struct WantsCase {
  int rate;
  size_t channels;
  int expect_rate;
  size_t expect_channels;
};

class LoopbackLiveWants : public LoopbackLive, public ::testing::WithParamInterface<WantsCase> {};

TEST_P(LoopbackLiveWants, CaptureDeliversTenMillisecondsInTheFormatEachSinkWants) {
  const WantsCase& w = GetParam();
  Env& e = make_env();
  ASSERT_EQ(e.service->initialize(with_device()), 0);
  int16_t counter = 1;
  loopback::set_microphone(e.id(e.service), loopback::Source::call(&count_up, &counter));
  agora_refptr<TestSink> sink(new TestSink);
  ASSERT_TRUE(e.capture_track->addAudioSink(sink, {w.rate, w.channels}));
  start();
  loopback::run_for(100);
  EXPECT_EQ(sink->frames.load(), 10);
  EXPECT_EQ(sink->last_rate.load(), w.expect_rate);
  EXPECT_EQ(sink->last_channels.load(), w.expect_channels);
  EXPECT_EQ(sink->last_samples.load(), static_cast<size_t>(w.expect_rate / 100));
  if (w.expect_rate == 48000) {
    EXPECT_EQ(sink->out_of_order.load(), 0);
  }
  // A disabled track gets nothing.
  ASSERT_EQ(e.capture_track->setEnabled(false), 0);
  loopback::run_for(50);
  EXPECT_EQ(sink->frames.load(), 10);
  EXPECT_EQ(e.capture_track->removeAudioSink(sink), 0);
}

INSTANTIATE_TEST_SUITE_P(Wants, LoopbackLiveWants,
                         ::testing::Values(WantsCase{48000, 1, 48000, 1}, WantsCase{16000, 2, 16000, 2},
                                           WantsCase{24000, 1, 24000, 1}, WantsCase{0, 0, 48000, 1}));

TEST_F(LoopbackLive, AServiceWithoutItsAudioDeviceCapturesNothing) {
  Env& e = make_env();
  ASSERT_EQ(e.service->initialize(with_device(false)), 0);
  agora_refptr<TestSink> sink(new TestSink);
  ASSERT_TRUE(e.capture_track->addAudioSink(sink, {48000, 1}));
  start();
  loopback::run_for(100);
  EXPECT_EQ(sink->frames.load(), 0);
  EXPECT_EQ(e.capture_track->removeAudioSink(sink), 0);
}

TEST_F(LoopbackLive, PlaybackPullsThroughTheObserverIntoTheSpeakerTap) {
  Env& e = make_env();
  ASSERT_EQ(e.service->initialize(with_device()), 0);
  BaseFrameObserver observer;
  observer.fill = 7;
  ASSERT_EQ(e.local_user->setPlaybackAudioFrameParameters(2, 48000, 0, 960), 0);
  ASSERT_EQ(e.local_user->registerAudioFrameObserver(&observer), 0);
  start();
  loopback::run_for(50);
  EXPECT_EQ(observer.calls.load(), 5);
  EXPECT_EQ(observer.seen.frame.channels, 2);
  EXPECT_EQ(observer.seen.frame.samplesPerChannel, 480);
  const auto tap = loopback::take_speaker(e.id(e.service));
  ASSERT_EQ(tap.size(), 5u * 960);
  for (size_t i = 0; i < tap.size(); ++i) ASSERT_EQ(tap[i], 7 + static_cast<int>(i % 960));
  EXPECT_TRUE(loopback::take_speaker(e.id(e.service)).empty());
  ASSERT_EQ(e.local_user->unregisterAudioFrameObserver(&observer), 0);
  loopback::run_for(20);
  EXPECT_EQ(observer.calls.load(), 5) << "delivered after unregistration";
}

// Spends a millisecond of its thread's CPU in every playback pull.
class BusyFrameObserver final : public BaseFrameObserver {
 public:
  bool onPlaybackAudioFrame(const char* c, AudioFrame& f) override {
    const uint64_t until = thread_cpu_ns() + 1'000'000;
    while (thread_cpu_ns() < until) {
    }
    return BaseFrameObserver::onPlaybackAudioFrame(c, f);
  }

 private:
  static uint64_t thread_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(t.tv_nsec);
  }
};

TEST_F(LoopbackLive, CallbackTimeIsMeasuredOnlyWhenAsked) {
  for (const bool asked : {true, false}) {
    SCOPED_TRACE(asked ? "asked" : "not asked");
    Env& e = make_env();
    ASSERT_EQ(e.service->initialize(with_device()), 0);
    BusyFrameObserver observer;
    ASSERT_EQ(e.local_user->setPlaybackAudioFrameParameters(1, 48000, 0, 480), 0);
    ASSERT_EQ(e.local_user->registerAudioFrameObserver(&observer), 0);
    loopback::LiveOptions options;
    options.time_callbacks = asked;
    loopback::start_live(options);
    loopback::run_for(50);
    loopback::stop_live();
    ASSERT_EQ(observer.calls.load(), 5);
    if (asked) {
      EXPECT_GE(loopback::callback_cpu_ns(), 5'000'000u);
    } else {
      EXPECT_EQ(loopback::callback_cpu_ns(), 0u);
    }
    ASSERT_EQ(e.local_user->unregisterAudioFrameObserver(&observer), 0);
  }
}

TEST_F(LoopbackLive, ReleaseJoinsTheServicesThreadsAndTheOthersGoOn) {
  Env& e = make_env();
  ASSERT_EQ(e.service->initialize(with_device()), 0);
  Env other;
  ASSERT_EQ(other.service->initialize(with_device()), 0);
  agora_refptr<TestSink> sink(new TestSink), other_sink(new TestSink);
  ASSERT_TRUE(e.capture_track->addAudioSink(sink, {48000, 1}));
  ASSERT_TRUE(other.capture_track->addAudioSink(other_sink, {48000, 1}));
  start();
  loopback::run_for(30);
  env.reset();  // releases the first service while its threads run
  const int frames = sink->frames.load();
  loopback::run_for(50);
  EXPECT_EQ(sink->frames.load(), frames);
  EXPECT_EQ(other_sink->frames.load(), 8);
  EXPECT_EQ(other.capture_track->removeAudioSink(other_sink), 0);
}

TEST_F(LoopbackLive, ConnectingJoinsTheChannelAndMeetsItsBots) {
  Env& e = make_env();
  ASSERT_EQ(e.service->initialize(with_device(false)), 0);
  TestConnectionObserver observer;
  ASSERT_EQ(e.connection->registerObserver(&observer), 0);
  start();
  const uint64_t id = hall_bot();
  const agora::rtc::TConnectSettings settings = hall_settings();
  ASSERT_EQ(e.connection->connect(settings), 0);
  loopback::run_for(60);
  const std::vector<std::string> joined{
      "connecting id=0 channel='hall' state=0 local='5' internal=0 reason=0",
      "connected id=0 channel='hall' state=0 local='5' internal=0 reason=1", "joined '9'"};
  EXPECT_EQ(observer.calls(), joined);
  loopback::bot_leave(id, 1);
  loopback::link_loss(e.id(e.connection.get()), 100, 50);
  loopback::run_for(200);
  auto calls = observer.calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[3], "left '9' 1");
  EXPECT_EQ(calls[4], "reconnecting id=0 channel='hall' state=0 local='5' internal=0 reason=2");
  EXPECT_EQ(calls[5], "lost id=0 channel='hall' state=0 local='5' internal=0 reason=-1");
  EXPECT_EQ(calls[6], "reconnected id=0 channel='hall' state=0 local='5' internal=0 reason=1");
  ASSERT_EQ(e.connection->disconnect(), 0);
  loopback::run_for(20);
  EXPECT_EQ(observer.calls().back(), "disconnected id=0 channel='hall' state=0 local='5' internal=0 reason=5");
  ASSERT_EQ(e.connection->unregisterObserver(&observer), 0);
}

// An observer that the stand-in deletes. Its connecting callback tells the
// test it has begun, then lingers and touches the object again, so an
// unregistration made meanwhile must wait for it.
std::atomic<bool> slow_entered{false};

class SlowObserver final : public agora::rtc::IRtcConnectionObserver {
 public:
  void onConnecting(const agora::rtc::TConnectionInfo&, agora::rtc::CONNECTION_CHANGED_REASON_TYPE) override {
    calls.fetch_add(1, std::memory_order_relaxed);
    slow_entered.store(true, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    calls.fetch_add(1, std::memory_order_relaxed);
  }
  static void destroy(agora::rtc::IRtcConnectionObserver* o) { delete o; }

 private:
  std::atomic<int> calls{0};
};

TEST_F(LoopbackLive, AnObserverGoesToItsDeleterOnlyOnceNoCallbackIsInside) {
  Env& e = make_env();
  ASSERT_EQ(e.service->initialize(with_device(false)), 0);
  start();
  const agora::rtc::TConnectSettings settings = hall_settings();
  for (int round = 0; round < 3; ++round) {
    slow_entered = false;
    auto* observer = new SlowObserver;
    ASSERT_EQ(e.connection->registerObserver(observer, &SlowObserver::destroy), 0);
    ASSERT_EQ(e.connection->connect(settings), 0);
    std::thread world([] { loopback::run_for(20); });
    while (!slow_entered.load(std::memory_order_acquire)) std::this_thread::yield();
    // The callback is inside the observer now; AddressSanitizer would see it
    // touch a deleted object if unregistration did not wait.
    ASSERT_EQ(e.connection->unregisterObserver(observer), 0);
    world.join();
    ASSERT_EQ(e.connection->disconnect(), 0);
    loopback::run_for(20);
  }
}

// Two bots over a lossy, jittery path: the same seed gives the same call.
struct BotCall {
  loopback::BotStats stats;
  std::vector<int16_t> heard;
  loopback::PathStats path;
};

BotCall bot_call(uint64_t seed) {
  loopback::LiveOptions options;
  options.seed = seed;
  loopback::start_live(options);
  loopback::Impairment impairment;
  impairment.loss = 0.1;
  impairment.jitter_ms = 20;
  impairment.jitter_buffer_ms = 10;
  impairment.burst_start = 0.02;
  impairment.burst_length_ms = 40;
  loopback::set_impairment("duo", "", "", impairment);
  loopback::BotOptions a;
  a.channel = "duo";
  a.user_id = "1";
  a.source = loopback::Source::tone(700);
  loopback::BotOptions b = a;
  b.user_id = "2";
  b.source = {};
  loopback::add_bot(a);
  const uint64_t listener = loopback::add_bot(b);
  loopback::run_for(2000);
  BotCall call{loopback::bot_stats(listener), loopback::bot_recording(listener),
               loopback::path_stats("duo", "1", "2")};
  loopback::stop_live();
  return call;
}

TEST_F(LoopbackLive, SeededImpairmentsRepeatExactly) {
  const BotCall first = bot_call(11);
  const BotCall again = bot_call(11);
  const BotCall other = bot_call(12);
  ASSERT_TRUE(first.path.exists);
  EXPECT_GT(first.path.dropped, 0u);
  EXPECT_GT(first.stats.blocks_lost, 0u);
  EXPECT_EQ(first.stats.blocks_lost, first.path.lost);
  EXPECT_EQ(first.stats.blocks_heard, first.path.played);
  EXPECT_EQ(first.heard, again.heard);
  EXPECT_EQ(first.path.dropped, again.path.dropped);
  EXPECT_NE(first.heard, other.heard);
}

TEST_F(LoopbackLive, ManualDrivingIsRefusedUntilTheEngineStops) {
  Env& e = make_env();
  start();
  const uint64_t track = e.id(e.capture_track.get());
  agora::media::base::AudioPcmFrame frame;
  EXPECT_THROW(loopback::push_pcm(track, frame), std::logic_error);
  EXPECT_THROW(loopback::notify(e.id(e.connection.get()), {}), std::logic_error);
  std::array<int16_t, 960> samples{};
  EXPECT_THROW(loopback::pull_playback(e.id(e.local_user), {}, samples), std::logic_error);
  loopback::stop_live();
  EXPECT_TRUE(loopback::push_pcm(track, frame).known);
}

TEST_F(LoopbackLive, TheJournalKeepsTheNewestEntriesAndCountsEveryCall) {
  Env& e = make_env();
  loopback::set_journal_capacity(3);
  for (int i = 0; i < 5; ++i) e.local_user->setAudioScenario(i);
  const auto kept = loopback::journal();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.front().num("scenario"), 2);
  EXPECT_EQ(kept.back().num("scenario"), 4);
  loopback::set_journaling(false);
  e.local_user->setAudioScenario(9);
  EXPECT_EQ(loopback::journal().size(), 3u);
  EXPECT_EQ(loopback::call_count("local_user.set_audio_scenario"), 6u);
  loopback::reset();
  EXPECT_EQ(loopback::call_count("local_user.set_audio_scenario"), 0u);
}

TEST_F(LoopbackLive, AFaultScopedToOneServiceLeavesTheOthersAlone) {
  Env& e = make_env();
  Env other;
  loopback::fail_with("local_user.set_audio_scenario", -7, loopback::kAlways);
  loopback::set_fault("local_user.set_audio_scenario",
                      {loopback::FaultKind::code, -9, loopback::kAlways, 0, e.id(e.service)});
  EXPECT_EQ(e.local_user->setAudioScenario(1), -9);
  EXPECT_EQ(other.local_user->setAudioScenario(1), -7);
  loopback::clear_fault("local_user.set_audio_scenario", 0);
  EXPECT_EQ(other.local_user->setAudioScenario(1), 0);
  EXPECT_EQ(e.local_user->setAudioScenario(1), -9);
  EXPECT_EQ(loopback::fault_remaining("local_user.set_audio_scenario", e.id(e.service)), loopback::kAlways);
  loopback::set_fault("local_user.set_audio_scenario",
                      {loopback::FaultKind::code, -5, 1, 0, e.id(e.local_user)});
  EXPECT_EQ(e.local_user->setAudioScenario(1), -5);  // the object's own scope wins
  EXPECT_EQ(e.local_user->setAudioScenario(1), -9);
}

TEST_F(LoopbackLive, SendingCostsNoAllocationWithoutJournalOnceThePathExists) {
  Env& e = make_env();
  ASSERT_EQ(e.service->initialize(with_device(false)), 0);
  loopback::set_journaling(false);
  std::array<int16_t, 480> pcm{};
  // Not live: a call is only its bookkeeping.
  EXPECT_EQ(dovrin::testing::allocations_during([&] {
              e.pcm_sender->sendAudioPcmData(pcm.data(), 0, 0, 480, 2, 1, 48000, 0);
              e.local_user->setAudioScenario(1);
            }),
            0u);
  start();
  const uint64_t listener = hall_bot();
  ASSERT_EQ(e.local_user->publishAudio(e.pcm_track), 0);
  const agora::rtc::TConnectSettings settings = hall_settings();
  ASSERT_EQ(e.connection->connect(settings), 0);
  loopback::run_for(60);
  e.pcm_sender->sendAudioPcmData(pcm.data(), 0, 0, 480, 2, 1, 48000, 0);  // makes the path
  loopback::run_for(10);
  // The counter sees the stand-in's allocations: a journaled call makes some.
  loopback::set_journaling(true);
  EXPECT_GT(dovrin::testing::allocations_during(
                [&] { e.pcm_sender->sendAudioPcmData(pcm.data(), 0, 0, 480, 2, 1, 48000, 0); }),
            0u);
  loopback::set_journaling(false);
  loopback::run_for(10);
  size_t allocations = 0;
  for (int i = 0; i < 20; ++i) {
    allocations += dovrin::testing::allocations_during(
        [&] { e.pcm_sender->sendAudioPcmData(pcm.data(), 0, 0, 480, 2, 1, 48000, 0); });
    loopback::run_for(10);
  }
  EXPECT_EQ(allocations, 0u);
  EXPECT_GE(loopback::bot_stats(listener).blocks_heard, 20u);
  ASSERT_EQ(e.local_user->unpublishAudio(e.pcm_track), 0);
}

}  // namespace
}  // namespace loopback_test
