// Audio frames, frame observers, sinks, tracks and senders of the RTC SDK.
#pragma once

#include "agora_base.h"

namespace agora {
namespace media {

namespace base {

// One PCM frame as the SDK hands it to an audio sink: up to 3840 inline
// 16-bit samples, interleaved.
struct AudioPcmFrame {
  static constexpr size_t kMaxDataSizeSamples = 3840;

  int64_t capture_timestamp = 0;  // ms
  size_t samples_per_channel_ = 0;
  int sample_rate_hz_ = 0;
  size_t num_channels_ = 0;
  int bytes_per_sample = 2;
  int16_t data_[kMaxDataSizeSamples] = {};
};

}  // namespace base

class IAudioFrameObserverBase {
 public:
  enum AUDIO_FRAME_TYPE { FRAME_TYPE_PCM16 = 0 };

  enum AUDIO_FRAME_POSITION {
    AUDIO_FRAME_POSITION_NONE = 0,
    AUDIO_FRAME_POSITION_PLAYBACK = 1,
    AUDIO_FRAME_POSITION_RECORD = 2,
    AUDIO_FRAME_POSITION_MIXED = 4,
    AUDIO_FRAME_POSITION_BEFORE_MIXING = 8,
    AUDIO_FRAME_POSITION_EAR_MONITORING = 16,
  };

  // A frame owned by the SDK; an observer writes only into the buffer.
  struct AudioFrame {
    int type = FRAME_TYPE_PCM16;
    int samplesPerChannel = 0;
    int bytesPerSample = 0;
    int channels = 0;
    int samplesPerSec = 0;
    void* buffer = nullptr;
    int64_t renderTimeMs = 0;
    int avsync_type = 0;
    int64_t presentationMs = 0;
    int audioTrackNumber = 0;
    uint32_t rtpTimestamp = 0;
  };

  struct AudioParams {
    int sample_rate = 0;
    int channels = 0;
    int mode = 0;
    int samples_per_call = 0;
  };

  virtual ~IAudioFrameObserverBase() = default;

  virtual bool onRecordAudioFrame(const char* channelId, AudioFrame& audioFrame) = 0;
  virtual bool onPlaybackAudioFrame(const char* channelId, AudioFrame& audioFrame) = 0;
  virtual bool onMixedAudioFrame(const char* channelId, AudioFrame& audioFrame) = 0;
  virtual bool onEarMonitoringAudioFrame(AudioFrame& audioFrame) = 0;
  virtual bool onPlaybackAudioFrameBeforeMixing(const char* channelId, rtc::user_id_t userId,
                                                AudioFrame& audioFrame) = 0;
  virtual int getObservedAudioFramePosition() = 0;
  virtual AudioParams getPlaybackAudioParams() = 0;
  virtual AudioParams getRecordAudioParams() = 0;
  virtual AudioParams getMixedAudioParams() = 0;
  virtual AudioParams getEarMonitoringAudioParams() = 0;
};

// The observer variant that also receives before-mixing frames with a
// numeric user id.
class IAudioFrameObserver : public IAudioFrameObserverBase {
 public:
  using IAudioFrameObserverBase::onPlaybackAudioFrameBeforeMixing;
  virtual bool onPlaybackAudioFrameBeforeMixing(const char* channelId, rtc::uid_t uid,
                                                AudioFrame& audioFrame) = 0;
};

}  // namespace media

namespace rtc {

struct AudioSinkWants {
  int samplesPerSec = 0;
  size_t channels = 0;
};

class IAudioSinkBase : public RefCountInterface {
 public:
  virtual bool onAudioFrame(const media::base::AudioPcmFrame& audioFrame) = 0;
};

class ILocalAudioTrack : public RefCountInterface {
 public:
  virtual int setEnabled(bool enable) = 0;
  virtual int enableLocalPlayback(bool enable, bool sync = true, int reserved = 0) = 0;
  virtual bool addAudioSink(agora_refptr<IAudioSinkBase> sink, const AudioSinkWants& wants) = 0;
  virtual int removeAudioSink(agora_refptr<IAudioSinkBase> sink) = 0;
};

class IAudioPcmDataSender : public RefCountInterface {
 public:
  // 16-bit PCM, interleaved; 0 on success.
  virtual int sendAudioPcmData(const void* audioData, uint32_t captureTimestamp,
                               int64_t presentationMs, size_t samplesPerChannel,
                               size_t bytesPerSample, size_t numberOfChannels,
                               uint32_t sampleRate, int reserved) = 0;
};

enum AUDIO_CODEC_TYPE { AUDIO_CODEC_OPUS = 1, AUDIO_CODEC_AACLC = 8 };

struct EncodedAudioFrameAdvancedSettings {
  bool speech = true;
  bool sendEvenIfEmpty = true;
};

struct EncodedAudioFrameInfo {
  int codec = AUDIO_CODEC_AACLC;
  int sampleRateHz = 0;
  int samplesPerChannel = 0;
  int numberOfChannels = 0;
  EncodedAudioFrameAdvancedSettings advancedSettings;
  int64_t captureTimeMs = 0;
};

class IAudioEncodedFrameSender : public RefCountInterface {
 public:
  // True when the SDK took the packet.
  virtual bool sendEncodedAudioFrame(const uint8_t* payloadData, size_t payloadSize,
                                     const EncodedAudioFrameInfo& audioFrameInfo) = 0;
};

class IMediaNodeFactory : public RefCountInterface {
 public:
  virtual agora_refptr<IAudioPcmDataSender> createAudioPcmDataSender() = 0;
  virtual agora_refptr<IAudioEncodedFrameSender> createAudioEncodedFrameSender() = 0;
};

// The device information record, returned by value: a display name and the
// device identifier (the decimal Core Audio object id), both NUL-terminated.
struct AudioDeviceInfo {
  char deviceName[256];
  char deviceId[128];
  bool isCurrentSelected;
  bool isPlayoutDevice;
};
static_assert(sizeof(AudioDeviceInfo) == 386);
static_assert(offsetof(AudioDeviceInfo, deviceId) == 256);

// Two device lists, told apart by which member of each pair is called.
class INGAudioDeviceManager : public RefCountInterface {
 public:
  virtual int getNumberOfPlayoutDevices() = 0;
  virtual int getNumberOfRecordingDevices() = 0;
  virtual AudioDeviceInfo getPlayoutDeviceInfo(int index) = 0;
  virtual AudioDeviceInfo getRecordingDeviceInfo(int index) = 0;
  virtual int setPlayoutDevice(int index, int flags) = 0;
  virtual int setRecordingDevice(int index, int flags) = 0;
};

}  // namespace rtc
}  // namespace agora
