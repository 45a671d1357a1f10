#include <algorithm>

#include "sdk_objects.h"

namespace loopback::detail {

AudioTrack::AudioTrack(World& locked, TrackSource source,
                       agora::agora_refptr<agora::RefCountInterface> sender, uint64_t sender_id,
                       int mix_mode)
    : Counted(locked, Kind::audio_track, source, sender_id, mix_mode), sender_(std::move(sender)) {}

int AudioTrack::setEnabled(bool enable) {
  return store_setting(Op::track_set_enabled, id(), Kind::audio_track, "enable", enable,
                       &Record::enabled);
}

int AudioTrack::enableLocalPlayback(bool enable, bool sync, int reserved) {
  Call call(Op::track_enable_local_playback, id(), Kind::audio_track);
  call.arg("enable", enable);
  call.arg("sync", sync);
  call.arg("reserved", reserved);
  if (call.intercepted()) return call.answer(call.code());
  call.record().local_playback = enable;
  return call.answer(0);
}

bool AudioTrack::addAudioSink(agora::agora_refptr<agora::rtc::IAudioSinkBase> sink,
                              const agora::rtc::AudioSinkWants& wants) {
  Call call(Op::track_add_audio_sink, id(), Kind::audio_track);
  call.pointer_arg("sink", sink.get());
  call.arg("samples_per_sec", wants.samplesPerSec);
  call.arg("channels", static_cast<int64_t>(wants.channels));
  if (call.intercepted()) return call.answer(false);
  auto& sinks = call.record().sinks;
  auto it = std::find_if(sinks.begin(), sinks.end(),
                         [&](const SinkSlot& s) { return s.sink.get() == sink.get(); });
  if (it != sinks.end()) {
    // Adding a sink again only changes what it wants.
    it->wants = wants;
    return call.answer(true);
  }
  if (!sink || sinks.size() >= kMaxSinks) return call.answer(false);
  sinks.push_back({std::move(sink), wants});
  return call.answer(true);
}

int AudioTrack::removeAudioSink(agora::agora_refptr<agora::rtc::IAudioSinkBase> sink) {
  // The track's reference may be the sink's last; it is dropped unlocked.
  agora::agora_refptr<agora::rtc::IAudioSinkBase> removed;
  Call call(Op::track_remove_audio_sink, id(), Kind::audio_track);
  call.pointer_arg("sink", sink.get());
  if (call.intercepted()) return call.answer(call.code());
  auto& sinks = call.record().sinks;
  auto it = std::find_if(sinks.begin(), sinks.end(),
                         [&](const SinkSlot& s) { return s.sink.get() == sink.get(); });
  if (!sink || it == sinks.end()) return call.answer(kMisuse);
  removed = std::move(it->sink);
  sinks.erase(it);
  return call.answer(0);
}

}  // namespace loopback::detail
