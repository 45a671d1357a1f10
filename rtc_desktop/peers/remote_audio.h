// The audio frame observer a peer registers with its connection's local
// user: it asks for the per-user audio before mixing and hands it to the
// duplex observer inside, which keeps only the peer's remote user.
#pragma once

#include "audio/duplex_observer.h"

namespace dovrin::rtc_client {

// Keeps no state of its own: all synchronisation is the duplex observer's.
class RemoteAudio : public agora::media::IAudioFrameObserverBase {
 public:
  RemoteAudio(const char* channel, uint32_t remote_uid, rtc_probe::RemoteOverflowPolicy policy,
              uint32_t sample_rate, uint32_t channels)
      : observer(channel, remote_uid, nullptr, nullptr, rtc_probe::RemoteChannelBinding::by_connection,
                 /*sink_capture=*/false, policy, sample_rate, channels) {}
  RemoteAudio(const RemoteAudio&) = delete;
  RemoteAudio& operator=(const RemoteAudio&) = delete;

  bool onRecordAudioFrame(const char*, AudioFrame&) override { return true; }
  bool onPlaybackAudioFrame(const char*, AudioFrame&) override { return true; }
  bool onMixedAudioFrame(const char*, AudioFrame&) override { return true; }
  bool onEarMonitoringAudioFrame(AudioFrame&) override { return true; }
  bool onPlaybackAudioFrameBeforeMixing(const char* channel, agora::rtc::user_id_t user,
                                        AudioFrame& frame) override {
    return observer.onPlaybackAudioFrameBeforeMixing(channel, user, frame);
  }
  int getObservedAudioFramePosition() override { return AUDIO_FRAME_POSITION_BEFORE_MIXING; }
  AudioParams getPlaybackAudioParams() override { return {}; }
  AudioParams getRecordAudioParams() override { return {}; }
  AudioParams getMixedAudioParams() override { return {}; }
  AudioParams getEarMonitoringAudioParams() override { return {}; }

  rtc_probe::DuplexObserver observer;
};

}  // namespace dovrin::rtc_client
