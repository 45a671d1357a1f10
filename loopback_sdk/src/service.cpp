#include <stdexcept>

#include "live/engine.h"
#include "sdk_objects.h"

namespace loopback::detail {

Service::Service(World& locked) : registration_(locked, Kind::service, this) {}

int Service::initialize(const agora::base::AgoraServiceConfiguration& config) {
  {
    const int result = initialize_locked(config);
    if (result != 0) return result;
  }
  // Outside the lock: the engine starts the service's threads.
  live_mode::service_initialized(id());
  return 0;
}

int Service::initialize_locked(const agora::base::AgoraServiceConfiguration& config) {
  Call call(Op::service_initialize, id(), Kind::service);
  call.arg("enable_audio_processor", config.enableAudioProcessor);
  call.arg("enable_audio_device", config.enableAudioDevice);
  call.arg("enable_video", config.enableVideo);
  call.pointer_arg("context", config.context);
  call.arg("app_id", config.appId);
  call.arg("area_code", config.areaCode);
  call.arg("channel_profile", config.channelProfile);
  call.arg("audio_scenario", config.audioScenario);
  call.arg("log_file_path", config.logConfig.filePath);
  call.arg("log_file_size_kb", config.logConfig.fileSizeInKB);
  call.arg("log_level", config.logConfig.level);
  call.arg("use_string_uid", config.useStringUid);
  if (call.intercepted()) return call.answer(call.code());
  Record& r = call.record();
  r.initialized = true;
  r.audio_device = config.enableAudioDevice;
  return call.answer(0);
}

int Service::release() {
  // Its threads go first: nothing of the engine calls into the library for
  // this service once release has begun.
  live_mode::service_releasing(id());
  Outcome outcome;
  int code;
  {
    Call call(Op::service_release, id(), Kind::service);
    outcome = call.outcome();
    code = outcome == Outcome::code ? call.code() : 0;
    call.answer(code);
  }
  // The service goes whatever the fault says: a host cannot retry a release,
  // and a stand-in that kept it would only leak.
  delete this;
  if (outcome == Outcome::exception) throw std::runtime_error("loopback fault in service.release");
  return code;
}

agora::agora_refptr<agora::rtc::IRtcConnection> Service::createRtcConnection(
    const agora::rtc::RtcConnectionConfiguration& config) {
  Call call(Op::service_create_connection, id(), Kind::service);
  call.arg("auto_subscribe_audio", config.autoSubscribeAudio);
  call.arg("auto_subscribe_video", config.autoSubscribeVideo);
  call.arg("enable_audio_recording_or_playout", config.enableAudioRecordingOrPlayout);
  call.arg("max_send_bitrate", config.maxSendBitrate);
  call.arg("min_port", config.minPort);
  call.arg("max_port", config.maxPort);
  call.arg("client_role_type", config.clientRoleType);
  call.arg("channel_profile", config.channelProfile);
  call.arg("audio_recv_media_packet", config.audioRecvMediaPacket);
  call.arg("audio_recv_encoded_frame", config.audioRecvEncodedFrame);
  call.arg("video_recv_media_packet", config.videoRecvMediaPacket);
  return create_object<agora::rtc::IRtcConnection>(
      call, [](World& w) { return new Connection(w); });
}

agora::agora_refptr<agora::rtc::ILocalAudioTrack> Service::createLocalAudioTrack() {
  Call call(Op::service_create_local_audio_track, id(), Kind::service);
  return create_object<agora::rtc::ILocalAudioTrack>(call, [](World& w) {
    return new AudioTrack(w, TrackSource::none, nullptr, 0, 0);
  });
}

namespace {

// A track over a sender the stand-in made; a null or foreign sender is misuse
// and gets no track.
agora::agora_refptr<agora::rtc::ILocalAudioTrack> track_over(
    Call& call, const agora::agora_refptr<agora::RefCountInterface>& sender, Kind sender_kind,
    TrackSource source, int mix_mode) {
  const uint64_t sender_id = call.world().id_of(sender.get());
  const bool ours = call.world().find(sender_id, sender_kind) != nullptr;
  call.arg("sender", static_cast<int64_t>(ours ? sender_id : 0));
  if (source == TrackSource::encoded) call.arg("mix_mode", mix_mode);
  if (!ours) {
    call.intercepted();
    return nullptr;
  }
  return create_object<agora::rtc::ILocalAudioTrack>(call, [&](World& w) {
    return new AudioTrack(w, source, sender, sender_id, mix_mode);
  });
}

}  // namespace

agora::agora_refptr<agora::rtc::ILocalAudioTrack> Service::createCustomAudioTrack(
    agora::agora_refptr<agora::rtc::IAudioPcmDataSender> sender) {
  // The sender reference outlives the call, so a last Release of it cannot
  // happen under the lock.
  agora::agora_refptr<agora::RefCountInterface> held(sender);
  Call call(Op::service_create_pcm_audio_track, id(), Kind::service);
  return track_over(call, held, Kind::pcm_sender, TrackSource::pcm, 0);
}

agora::agora_refptr<agora::rtc::ILocalAudioTrack> Service::createCustomAudioTrack(
    agora::agora_refptr<agora::rtc::IAudioEncodedFrameSender> sender, int mixMode) {
  agora::agora_refptr<agora::RefCountInterface> held(sender);
  Call call(Op::service_create_encoded_audio_track, id(), Kind::service);
  return track_over(call, held, Kind::encoded_sender, TrackSource::encoded, mixMode);
}

agora::agora_refptr<agora::rtc::INGAudioDeviceManager> Service::createAudioDeviceManager() {
  Call call(Op::service_create_audio_device_manager, id(), Kind::service);
  return create_object<agora::rtc::INGAudioDeviceManager>(
      call, [](World& w) { return new DeviceManager(w); });
}

agora::agora_refptr<agora::rtc::IMediaNodeFactory> Service::createMediaNodeFactory() {
  Call call(Op::service_create_media_node_factory, id(), Kind::service);
  return create_object<agora::rtc::IMediaNodeFactory>(
      call, [](World& w) { return new MediaNodeFactory(w); });
}

}  // namespace loopback::detail

extern "C" LOOPBACK_API agora::base::IAgoraService* createAgoraService() {
  using namespace loopback::detail;
  Call call(Op::create_agora_service, 0, loopback::Kind::service);
  if (call.intercepted()) {
    call.object_answer(0);
    return nullptr;
  }
  auto* service = new Service(call.world());
  call.set_object(service->id());
  call.object_answer(service->id());
  return service;
}
