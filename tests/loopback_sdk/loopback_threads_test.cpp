// The stand-in used from several threads at once, as the library's host
// threads and the SDK's audio threads will use it. Run under ThreadSanitizer.
#include <thread>

#include "loopback_env.h"

namespace loopback_test {
namespace {

class LoopbackThreads : public LoopbackTest {};

TEST_F(LoopbackThreads, CallsQueriesAndDrivingMayOverlap) {
  constexpr int kFrames = 2000;
  constexpr int kToggles = 400;
  constexpr int kChurns = 150;
  constexpr int kNotices = 1000;

  Env& e = make_env();
  const size_t baseline = loopback::live_total();
  const uint64_t user = e.id(e.local_user);
  const uint64_t track = e.id(e.capture_track.get());
  const uint64_t connection = e.id(e.connection.get());

  auto* steady_sink = new TestSink;
  ASSERT_TRUE(e.capture_track->addAudioSink(steady_sink, {48000, 1}));
  agora_refptr<agora::rtc::IAudioSinkBase> keep(steady_sink);
  FullFrameObserver steady_frames, toggled_frames;
  ASSERT_EQ(e.local_user->registerAudioFrameObserver(&steady_frames), 0);
  TestConnectionObserver steady_observer, toggled_observer;
  ASSERT_EQ(e.connection->registerObserver(&steady_observer), 0);
  loopback::clear_journal();

  std::atomic<int> journaled{0};
  std::atomic<int> sink_destroyed{0};

  // The audio thread: frames into sinks and through frame observers.
  std::thread audio([&] {
    agora::media::base::AudioPcmFrame frame;
    frame.samples_per_channel_ = 480;
    frame.sample_rate_hz_ = 48000;
    frame.num_channels_ = 1;
    std::vector<int16_t> buffer(960);
    for (int i = 0; i < kFrames; ++i) {
      frame.data_[0] = static_cast<int16_t>(i - 10000);
      loopback::push_pcm(track, frame);
      loopback::pull_playback(user, {}, buffer);
    }
  });

  // Registrations coming and going under the audio thread's feet.
  std::thread registrar([&] {
    for (int i = 0; i < kToggles; ++i) {
      agora_refptr<agora::rtc::IAudioSinkBase> sink(new TestSink(&sink_destroyed));
      e.capture_track->addAudioSink(sink, {48000, 1});
      e.local_user->registerAudioFrameObserver(&toggled_frames);
      e.connection->registerObserver(&toggled_observer);
      e.capture_track->removeAudioSink(sink);
      e.local_user->unregisterAudioFrameObserver(&toggled_frames);
      e.connection->unregisterObserver(&toggled_observer);
      journaled += 6;
    }
  });

  // A host creating and dropping peers' objects.
  std::thread host([&] {
    for (int i = 0; i < kChurns; ++i) {
      auto c = e.service->createRtcConnection({});
      agora::rtc::TConnectSettings settings;
      settings.channelId = "room";
      c->connect(settings);
      auto sender = e.factory->createAudioPcmDataSender();
      auto t = e.service->createCustomAudioTrack(sender);
      agora::rtc::ILocalUser* u = c->getLocalUser();
      u->publishAudio(t);
      const int16_t silence[960] = {};
      sender->sendAudioPcmData(silence, 0, 0, 480, 2, 2, 48000, 0);
      c->disconnect();
      journaled += 8;
    }
  });

  // Notifications and queries from yet another thread.
  std::thread notifier([&] {
    const loopback::Notification joined{loopback::Notice::user_joined, {}, "7", {}, {}};
    for (int i = 0; i < kNotices; ++i) {
      loopback::notify(connection, joined);
      if (i % 50 == 0) {
        (void)loopback::journal();
        (void)loopback::live_total();
        (void)loopback::track_state(track);
        (void)loopback::local_user_state(user);
      }
    }
  });

  audio.join();
  registrar.join();
  host.join();
  notifier.join();

  EXPECT_EQ(steady_sink->frames.load(), kFrames);
  EXPECT_EQ(steady_sink->out_of_order.load(), 0);
  EXPECT_EQ(steady_frames.calls.load(), kFrames);
  EXPECT_EQ(steady_observer.calls().size(), static_cast<size_t>(kNotices));
  EXPECT_EQ(sink_destroyed.load(), kToggles);
  EXPECT_EQ(loopback::live_total(), baseline);

  const auto j = loopback::journal();
  EXPECT_EQ(j.size(), static_cast<size_t>(journaled.load()));
  for (size_t i = 1; i < j.size(); ++i) ASSERT_EQ(j[i].sequence, j[i - 1].sequence + 1);
  EXPECT_EQ(loopback::journal("pcm_sender.send").size(), static_cast<size_t>(kChurns));
}

}  // namespace
}  // namespace loopback_test
