// A runtime created over the stand-in SDK, with helpers to reach the SDK
// objects the runtime made and to drive its audio paths.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "dovrin_rtc_desktop.h"
#include "loopback_control.h"

namespace dovrin::testing {

inline constexpr const char* kAppId = "0123456789abcdefABCDEF0123456789";

inline const char* sdk_path() { return LOOPBACK_SDK_PATH; }

// A 10 ms mono capture frame as the SDK's capture track delivers it, with
// every sample set to `value`.
inline agora::media::base::AudioPcmFrame capture_frame(int16_t value, int rate = 48000,
                                                        size_t channels = 1, int64_t timestamp = 0) {
  agora::media::base::AudioPcmFrame frame;
  frame.capture_timestamp = timestamp;
  frame.sample_rate_hz_ = rate;
  frame.num_channels_ = channels;
  frame.samples_per_channel_ = static_cast<size_t>(rate / 100);
  frame.bytes_per_sample = 2;
  for (size_t i = 0; i < frame.samples_per_channel_ * channels && i < frame.kMaxDataSizeSamples; ++i) {
    frame.data_[i] = value;
  }
  return frame;
}

// Owns one runtime; every test starts from the stand-in's default world and
// checks that destroy released every SDK object.
class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override { loopback::reset(); }

  void TearDown() override {
    destroy();
    EXPECT_EQ(loopback::live_total(), 0u) << "destroy left SDK objects alive";
    loopback::reset();
  }

  void create(DovrinRtcRenderCallback render = nullptr, void* context = nullptr) {
    ASSERT_EQ(dovrin_rtc_desktop_create(sdk_path(), kAppId, render, context, &rtc), 0);
    capture_track = loopback::first_track(loopback::TrackSource::none);
    playback_track = loopback::first_track(loopback::TrackSource::pcm);
    connection = loopback::first(loopback::Kind::connection);
    local_user = loopback::connection_state(connection)->local_user;
  }

  void destroy() {
    dovrin_rtc_desktop_destroy(rtc);
    rtc = nullptr;
  }

  // Delivers one capture frame through the capture track's sink.
  bool push_capture(int16_t value, int rate = 48000, size_t channels = 1, int64_t timestamp = 0) {
    return loopback::push_pcm(capture_track, capture_frame(value, rate, channels, timestamp)).accepted == 1;
  }

  // Pulls one 10 ms stereo playback frame through the runtime's observer.
  std::array<int16_t, 960> pull_playback(int16_t fill = 0x5555) {
    std::array<int16_t, 960> samples;
    samples.fill(fill);
    loopback::pull_playback(local_user, loopback::FrameFormat{}, samples);
    return samples;
  }

  DovrinRtcRuntime* rtc = nullptr;
  uint64_t capture_track = 0;
  uint64_t playback_track = 0;
  uint64_t connection = 0;
  uint64_t local_user = 0;
};

}  // namespace dovrin::testing
