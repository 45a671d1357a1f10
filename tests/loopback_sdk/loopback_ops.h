// One call of every SDK operation, made on an Env the way the library would.
// Shared by the fault and journal suites: a table that must name every
// operation the stand-in lists, so a new operation cannot go untested.
#pragma once

#include "loopback_env.h"

namespace loopback_test {

// How an operation answers; decides what a code fault makes of it.
enum class Shape { code, boolean, count, object, record, release };

struct OpCall {
  const char* op;
  Shape shape;
  int64_t normal;  // the answer by default
  // Calls the operation once; setup it needs is made first and then cleared
  // from the journal. Objects answer 1 when present, records the name length.
  int64_t (*invoke)(Env&);
};

inline TestConnectionObserver& shared_connection_observer() {
  static TestConnectionObserver o;
  return o;
}
inline FullFrameObserver& shared_frame_observer() {
  static FullFrameObserver o;
  return o;
}

inline void speakers_and_microphone() {
  loopback::set_devices(loopback::DeviceKind::playout, {{"Speakers", "42", true, true}});
  loopback::set_devices(loopback::DeviceKind::recording,
                        {{"Microphone", "7", false, false}, {"Line in", "8", false, false}});
}

inline int64_t present(const void* object) { return object != nullptr ? 1 : 0; }

inline const std::vector<OpCall>& op_calls() {
  using agora::rtc::RtcConnectionConfiguration;
  static const std::vector<OpCall> calls = {
      {"create_agora_service", Shape::object, 1,
       [](Env&) -> int64_t {
         agora::base::IAgoraService* s = createAgoraService();
         if (s == nullptr) return 0;
         s->release();
         return 1;
       }},
      {"service.initialize", Shape::code, 0,
       [](Env& e) -> int64_t { return e.service->initialize({}); }},
      {"service.release", Shape::release, 0,
       [](Env&) -> int64_t {
         agora::base::IAgoraService* s = createAgoraService();
         loopback::clear_journal();
         return s->release();
       }},
      {"service.create_connection", Shape::object, 1,
       [](Env& e) { return present(e.service->createRtcConnection({}).get()); }},
      {"service.create_local_audio_track", Shape::object, 1,
       [](Env& e) { return present(e.service->createLocalAudioTrack().get()); }},
      {"service.create_pcm_audio_track", Shape::object, 1,
       [](Env& e) { return present(e.service->createCustomAudioTrack(e.pcm_sender).get()); }},
      {"service.create_encoded_audio_track", Shape::object, 1,
       [](Env& e) {
         return present(e.service->createCustomAudioTrack(e.encoded_sender, 2).get());
       }},
      {"service.create_audio_device_manager", Shape::object, 1,
       [](Env& e) { return present(e.service->createAudioDeviceManager().get()); }},
      {"service.create_media_node_factory", Shape::object, 1,
       [](Env& e) { return present(e.service->createMediaNodeFactory().get()); }},
      {"factory.create_pcm_sender", Shape::object, 1,
       [](Env& e) { return present(e.factory->createAudioPcmDataSender().get()); }},
      {"factory.create_encoded_sender", Shape::object, 1,
       [](Env& e) { return present(e.factory->createAudioEncodedFrameSender().get()); }},
      {"connection.connect", Shape::code, 0,
       [](Env& e) -> int64_t {
         agora::rtc::TConnectSettings s;
         s.token = "t";
         s.channelId = "c";
         s.userId = "1";
         return e.connection->connect(s);
       }},
      {"connection.disconnect", Shape::code, 0,
       [](Env& e) -> int64_t { return e.connection->disconnect(); }},
      {"connection.renew_token", Shape::code, 0,
       [](Env& e) -> int64_t { return e.connection->renewToken("fresh"); }},
      {"connection.get_local_user", Shape::object, 1,
       [](Env& e) { return present(e.connection->getLocalUser()); }},
      {"connection.register_observer", Shape::code, 0,
       [](Env& e) -> int64_t {
         return e.connection->registerObserver(&shared_connection_observer());
       }},
      {"connection.unregister_observer", Shape::code, 0,
       [](Env& e) -> int64_t {
         e.connection->registerObserver(&shared_connection_observer());
         loopback::clear_journal();
         return e.connection->unregisterObserver(&shared_connection_observer());
       }},
      {"local_user.set_audio_scenario", Shape::code, 0,
       [](Env& e) -> int64_t { return e.local_user->setAudioScenario(8); }},
      {"local_user.set_playback_signal_volume", Shape::code, 0,
       [](Env& e) -> int64_t { return e.local_user->setPlaybackSignalVolume(0); }},
      {"local_user.set_playback_frame_parameters", Shape::code, 0,
       [](Env& e) -> int64_t {
         return e.local_user->setPlaybackAudioFrameParameters(2, 48000, 2, 960);
       }},
      {"local_user.set_before_mixing_parameters", Shape::code, 0,
       [](Env& e) -> int64_t {
         return e.local_user->setPlaybackAudioFrameBeforeMixingParameters(1, 48000, 0, 0);
       }},
      {"local_user.register_audio_frame_observer", Shape::code, 0,
       [](Env& e) -> int64_t {
         return e.local_user->registerAudioFrameObserver(&shared_frame_observer());
       }},
      {"local_user.unregister_audio_frame_observer", Shape::code, 0,
       [](Env& e) -> int64_t {
         e.local_user->registerAudioFrameObserver(&shared_frame_observer());
         loopback::clear_journal();
         return e.local_user->unregisterAudioFrameObserver(&shared_frame_observer());
       }},
      {"local_user.publish_audio", Shape::code, 0,
       [](Env& e) -> int64_t { return e.local_user->publishAudio(e.pcm_track); }},
      {"local_user.unpublish_audio", Shape::code, 0,
       [](Env& e) -> int64_t {
         e.local_user->publishAudio(e.pcm_track);
         loopback::clear_journal();
         return e.local_user->unpublishAudio(e.pcm_track);
       }},
      {"local_user.subscribe_audio", Shape::code, 0,
       [](Env& e) -> int64_t { return e.local_user->subscribeAudio("42", 0); }},
      {"track.set_enabled", Shape::code, 0,
       [](Env& e) -> int64_t { return e.capture_track->setEnabled(false); }},
      {"track.enable_local_playback", Shape::code, 0,
       [](Env& e) -> int64_t { return e.capture_track->enableLocalPlayback(false, true, 0); }},
      {"track.add_audio_sink", Shape::boolean, 1,
       [](Env& e) -> int64_t { return e.capture_track->addAudioSink(new TestSink, {48000, 1}); }},
      {"track.remove_audio_sink", Shape::code, 0,
       [](Env& e) -> int64_t {
         agora_refptr<agora::rtc::IAudioSinkBase> sink(new TestSink);
         e.capture_track->addAudioSink(sink, {48000, 1});
         loopback::clear_journal();
         return e.capture_track->removeAudioSink(sink);
       }},
      {"devices.count_playout", Shape::count, 1,
       [](Env& e) -> int64_t {
         speakers_and_microphone();
         return e.devices->getNumberOfPlayoutDevices();
       }},
      {"devices.count_recording", Shape::count, 2,
       [](Env& e) -> int64_t {
         speakers_and_microphone();
         return e.devices->getNumberOfRecordingDevices();
       }},
      {"devices.info_playout", Shape::record, 8,
       [](Env& e) -> int64_t {
         speakers_and_microphone();
         return static_cast<int64_t>(strnlen(e.devices->getPlayoutDeviceInfo(0).deviceName, 256));
       }},
      {"devices.info_recording", Shape::record, 7,
       [](Env& e) -> int64_t {
         speakers_and_microphone();
         return static_cast<int64_t>(
             strnlen(e.devices->getRecordingDeviceInfo(1).deviceName, 256));
       }},
      {"devices.select_playout", Shape::code, 0,
       [](Env& e) -> int64_t {
         speakers_and_microphone();
         return e.devices->setPlayoutDevice(0, 0);
       }},
      {"devices.select_recording", Shape::code, 0,
       [](Env& e) -> int64_t {
         speakers_and_microphone();
         return e.devices->setRecordingDevice(1, 0);
       }},
      {"pcm_sender.send", Shape::code, 0,
       [](Env& e) -> int64_t {
         static const int16_t silence[960] = {};
         return e.pcm_sender->sendAudioPcmData(silence, 0, 0, 480, 2, 2, 48000, 0);
       }},
      {"encoded_sender.send", Shape::boolean, 1,
       [](Env& e) -> int64_t {
         static const uint8_t packet[3] = {1, 2, 3};
         return e.encoded_sender->sendEncodedAudioFrame(packet, sizeof packet, {});
       }},
  };
  return calls;
}

}  // namespace loopback_test
