// The stand-in's implementations of the SDK interfaces. Each object is a shell
// around its record in the world: it holds only its id and the references it
// owns, and every operation runs as one journaled Call.
#pragma once

#include <atomic>
#include <cstdint>

#include "world.h"

namespace loopback::detail {

// An object's entry in the registry, from construction to destruction. It is
// created while the creating Call holds the lock; its destructor takes the lock
// itself, retires the record and drops what the record owned after unlocking.
class Registration {
 public:
  Registration(World& locked, Kind kind, const void* address,
               TrackSource source = TrackSource::none, uint64_t related = 0, int mix_mode = 0);
  ~Registration();
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  uint64_t id() const { return id_; }

 private:
  uint64_t id_;
};

// Created with count 0; the first agora_refptr adopts it and the last Release
// destroys it. Decrements are acquire-release so the destroying thread sees
// every earlier use.
template <class Interface>
class Counted : public Interface {
 public:
  void AddRef() const override { refs_.fetch_add(1, std::memory_order_relaxed); }
  int Release() const override {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
      return 0;
    }
    return 1;
  }
  bool HasOneRef() const override { return refs_.load(std::memory_order_acquire) == 1; }

  uint64_t id() const { return registration_.id(); }

 protected:
  Counted(World& locked, Kind kind, TrackSource source = TrackSource::none, uint64_t related = 0,
          int mix_mode = 0)
      : registration_(locked, kind, static_cast<const void*>(this), source, related, mix_mode) {}
  ~Counted() override = default;

 private:
  mutable std::atomic<int> refs_{0};
  Registration registration_;
};

class LocalUser final : public agora::rtc::ILocalUser {
 public:
  LocalUser(World& locked, uint64_t connection);
  ~LocalUser() override = default;

  uint64_t id() const { return registration_.id(); }

  int setAudioScenario(int scenario) override;
  int setPlaybackSignalVolume(int volume) override;
  int setPlaybackAudioFrameParameters(size_t numberOfChannels, uint32_t sampleRateHz, int mode,
                                      int samplesPerCall) override;
  int setPlaybackAudioFrameBeforeMixingParameters(size_t numberOfChannels, uint32_t sampleRateHz,
                                                  int mode, int samplesPerCall) override;
  int registerAudioFrameObserver(agora::media::IAudioFrameObserverBase* observer) override;
  int unregisterAudioFrameObserver(agora::media::IAudioFrameObserverBase* observer) override;
  int publishAudio(agora::agora_refptr<agora::rtc::ILocalAudioTrack> track) override;
  int unpublishAudio(agora::agora_refptr<agora::rtc::ILocalAudioTrack> track) override;
  int subscribeAudio(agora::rtc::user_id_t userId, int options) override;

 private:
  Registration registration_;
};

class Connection final : public Counted<agora::rtc::IRtcConnection> {
 public:
  explicit Connection(World& locked);

  int connect(const agora::rtc::TConnectSettings& settings) override;
  int disconnect() override;
  int renewToken(const char* token) override;
  agora::rtc::ILocalUser* getLocalUser() override;
  int registerObserver(agora::rtc::IRtcConnectionObserver* observer,
                       void (*deleter)(agora::rtc::IRtcConnectionObserver*)) override;
  int unregisterObserver(agora::rtc::IRtcConnectionObserver* observer) override;

 private:
  LocalUser user_;  // destroyed, and so retired, before the connection itself
};

class AudioTrack final : public Counted<agora::rtc::ILocalAudioTrack> {
 public:
  AudioTrack(World& locked, TrackSource source,
             agora::agora_refptr<agora::RefCountInterface> sender, uint64_t sender_id,
             int mix_mode);

  int setEnabled(bool enable) override;
  int enableLocalPlayback(bool enable, bool sync, int reserved) override;
  bool addAudioSink(agora::agora_refptr<agora::rtc::IAudioSinkBase> sink,
                    const agora::rtc::AudioSinkWants& wants) override;
  int removeAudioSink(agora::agora_refptr<agora::rtc::IAudioSinkBase> sink) override;

 private:
  // A track keeps its sender alive, as the sender feeds it.
  agora::agora_refptr<agora::RefCountInterface> sender_;
};

class PcmSender final : public Counted<agora::rtc::IAudioPcmDataSender> {
 public:
  explicit PcmSender(World& locked) : Counted(locked, Kind::pcm_sender) {}

  int sendAudioPcmData(const void* audioData, uint32_t captureTimestamp, int64_t presentationMs,
                       size_t samplesPerChannel, size_t bytesPerSample, size_t numberOfChannels,
                       uint32_t sampleRate, int reserved) override;
};

class EncodedSender final : public Counted<agora::rtc::IAudioEncodedFrameSender> {
 public:
  explicit EncodedSender(World& locked) : Counted(locked, Kind::encoded_sender) {}

  bool sendEncodedAudioFrame(const uint8_t* payloadData, size_t payloadSize,
                             const agora::rtc::EncodedAudioFrameInfo& audioFrameInfo) override;
};

class MediaNodeFactory final : public Counted<agora::rtc::IMediaNodeFactory> {
 public:
  explicit MediaNodeFactory(World& locked) : Counted(locked, Kind::media_node_factory) {}

  agora::agora_refptr<agora::rtc::IAudioPcmDataSender> createAudioPcmDataSender() override;
  agora::agora_refptr<agora::rtc::IAudioEncodedFrameSender> createAudioEncodedFrameSender()
      override;
};

class DeviceManager final : public Counted<agora::rtc::INGAudioDeviceManager> {
 public:
  explicit DeviceManager(World& locked) : Counted(locked, Kind::device_manager) {}

  int getNumberOfPlayoutDevices() override;
  int getNumberOfRecordingDevices() override;
  agora::rtc::AudioDeviceInfo getPlayoutDeviceInfo(int index) override;
  agora::rtc::AudioDeviceInfo getRecordingDeviceInfo(int index) override;
  int setPlayoutDevice(int index, int flags) override;
  int setRecordingDevice(int index, int flags) override;

 private:
  int count(Op op, DeviceKind kind);
  agora::rtc::AudioDeviceInfo info(Op op, DeviceKind kind, int index);
  int select(Op op, DeviceKind kind, int index, int flags);
};

class Service final : public agora::base::IAgoraService {
 public:
  explicit Service(World& locked);

  uint64_t id() const { return registration_.id(); }

  int initialize(const agora::base::AgoraServiceConfiguration& config) override;
  int release() override;
  int initialize_locked(const agora::base::AgoraServiceConfiguration& config);
  agora::agora_refptr<agora::rtc::IRtcConnection> createRtcConnection(
      const agora::rtc::RtcConnectionConfiguration& config) override;
  agora::agora_refptr<agora::rtc::ILocalAudioTrack> createLocalAudioTrack() override;
  agora::agora_refptr<agora::rtc::ILocalAudioTrack> createCustomAudioTrack(
      agora::agora_refptr<agora::rtc::IAudioPcmDataSender> sender) override;
  agora::agora_refptr<agora::rtc::ILocalAudioTrack> createCustomAudioTrack(
      agora::agora_refptr<agora::rtc::IAudioEncodedFrameSender> sender, int mixMode) override;
  agora::agora_refptr<agora::rtc::INGAudioDeviceManager> createAudioDeviceManager() override;
  agora::agora_refptr<agora::rtc::IMediaNodeFactory> createMediaNodeFactory() override;

 private:
  ~Service() override = default;

  Registration registration_;
};

// The common tail of every object-creating operation: a null fault answers
// null, otherwise `make` builds the object under the call's lock.
template <class Interface, class Make>
agora::agora_refptr<Interface> create_object(Call& call, Make&& make) {
  if (call.intercepted()) return nullptr;
  auto* object = make(call.world());
  call.object_answer(object->id());
  // Everything a service makes, directly or through its factory, is its own.
  World& w = call.world();
  const uint64_t service = w.service_of(call.object());
  Record& made = w.records.at(object->id());
  made.service = service;
  if (made.info.kind == Kind::connection) w.records.at(made.info.related).service = service;
  return agora::agora_refptr<Interface>(object);
}

// An int operation that stores its one argument in the object's record.
template <class Value, class Field>
int store_setting(Op op, uint64_t id, Kind kind, const char* name, Value value,
                  Field Record::*field) {
  Call call(op, id, kind);
  call.arg(name, value);
  if (call.intercepted()) return call.answer(call.code());
  call.record().*field = value;
  return call.answer(0);
}

}  // namespace loopback::detail
