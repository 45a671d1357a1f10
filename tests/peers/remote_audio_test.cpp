// The peer's audio frame observer: only before-mixing frames reach its
// duplex observer.
#include "peers/remote_audio.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using dovrin::rtc_client::RemoteAudio;
using dovrin::rtc_probe::Block;
using dovrin::rtc_probe::RemoteOverflowPolicy;
using AudioFrame = agora::media::IAudioFrameObserverBase::AudioFrame;

struct MonoFrame {
  std::array<int16_t, 480> samples;
  AudioFrame frame;
  explicit MonoFrame(int16_t value) {
    samples.fill(value);
    frame.samplesPerChannel = 480;
    frame.bytesPerSample = 2;
    frame.channels = 1;
    frame.samplesPerSec = 48000;
    frame.buffer = samples.data();
  }
};

TEST(RemoteAudio, ForwardsOnlyBeforeMixingFramesOfItsUser) {
  RemoteAudio remote("room", 7, RemoteOverflowPolicy::drop_oldest, 48000, 1);
  ASSERT_TRUE(remote.observer.authorize(2, false, true));
  remote.observer.confirm_remote_connection();
  agora::media::IAudioFrameObserverBase& sdk_view = remote;
  EXPECT_EQ(sdk_view.getObservedAudioFramePosition(), 8);
  const auto params = sdk_view.getPlaybackAudioParams();
  EXPECT_EQ(params.sample_rate | params.channels | params.mode | params.samples_per_call, 0);

  MonoFrame frame(9);
  EXPECT_TRUE(sdk_view.onPlaybackAudioFrame("room", frame.frame));
  EXPECT_TRUE(sdk_view.onMixedAudioFrame("room", frame.frame));
  EXPECT_TRUE(sdk_view.onRecordAudioFrame("room", frame.frame));
  EXPECT_EQ(frame.samples[0], 9) << "other positions leave the frame alone";
  Block block;
  EXPECT_FALSE(remote.observer.take_remote(block));

  EXPECT_TRUE(sdk_view.onPlaybackAudioFrameBeforeMixing(nullptr, "8", frame.frame));
  EXPECT_FALSE(remote.observer.take_remote(block)) << "another user of the channel";
  EXPECT_EQ(remote.observer.remote_counters().wrong_uid, 1u);

  EXPECT_TRUE(sdk_view.onPlaybackAudioFrameBeforeMixing(nullptr, "7", frame.frame));
  ASSERT_TRUE(remote.observer.take_remote(block));
  EXPECT_EQ(block.uid, 7u);
  EXPECT_EQ(block.samples[0], 9);
}

}  // namespace
