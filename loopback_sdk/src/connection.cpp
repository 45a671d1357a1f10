#include <algorithm>

#include "live/engine.h"
#include "sdk_objects.h"

namespace loopback::detail {
namespace {

constexpr size_t kObserverHistory = 4096;

std::optional<std::string> optional_text(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

// Remembers that `observer` is registered on `owner` now, for late delivery
// after it is unregistered.
template <class Observer>
void remember(std::vector<ObserverRecord<Observer>>& history, Observer* observer,
              uint64_t owner) {
  for (auto& h : history) {
    if (h.observer == observer && h.owner == owner) {
      h.registered = true;
      h.deleted = false;
      return;
    }
  }
  history.push_back({observer, owner, true, false});
  // Bounded, so that a live session joining and leaving for hours keeps its
  // memory flat: the oldest record of an observer no longer registered goes.
  if (history.size() > kObserverHistory) {
    auto oldest = std::find_if(history.begin(), history.end(), [](const auto& h) { return !h.registered; });
    if (oldest != history.end()) history.erase(oldest);
  }
}

template <class Observer>
void forget(std::vector<ObserverRecord<Observer>>& history, Observer* observer, uint64_t owner,
            bool deleted) {
  for (auto& h : history) {
    if (h.observer == observer && h.owner == owner) {
      h.registered = false;
      h.deleted = deleted;
    }
  }
}

}  // namespace

Connection::Connection(World& locked) : Counted(locked, Kind::connection), user_(locked, id()) {
  locked.records.at(id()).info.related = user_.id();
}

int Connection::connect(const agora::rtc::TConnectSettings& settings) {
  Call call(Op::connection_connect, id(), Kind::connection);
  call.arg("token", settings.token);
  call.arg("channel_id", settings.channelId);
  call.arg("user_id", settings.userId);
  call.arg("join_flags", settings.joinFlags);
  call.arg("info", settings.info);
  if (call.intercepted()) return call.answer(call.code());
  Record& r = call.record();
  r.connected = true;
  r.token = optional_text(settings.token);
  r.channel_id = optional_text(settings.channelId);
  r.user_id = optional_text(settings.userId);
  live_mode::connecting(call.world(), id());
  return call.answer(0);
}

int Connection::disconnect() {
  Call call(Op::connection_disconnect, id(), Kind::connection);
  if (call.intercepted()) return call.answer(call.code());
  call.record().connected = false;
  live_mode::disconnecting(call.world(), id());
  return call.answer(0);
}

int Connection::renewToken(const char* token) {
  Call call(Op::connection_renew_token, id(), Kind::connection);
  call.arg("token", token);
  if (call.intercepted()) return call.answer(call.code());
  call.record().token = optional_text(token);
  live_mode::renewing(call.world(), id(), token);
  return call.answer(0);
}

agora::rtc::ILocalUser* Connection::getLocalUser() {
  Call call(Op::connection_get_local_user, id(), Kind::connection);
  if (call.intercepted()) return nullptr;
  call.object_answer(user_.id());
  return &user_;
}

int Connection::registerObserver(agora::rtc::IRtcConnectionObserver* observer,
                                 void (*deleter)(agora::rtc::IRtcConnectionObserver*)) {
  Call call(Op::connection_register_observer, id(), Kind::connection);
  call.pointer_arg("observer", observer);
  call.arg("deleter", deleter != nullptr);
  if (call.intercepted()) return call.answer(call.code());
  auto& slots = call.record().connection_observers;
  const auto same = [&](const ConnectionObserverSlot& s) { return s.observer == observer; };
  if (std::any_of(slots.begin(), slots.end(), same)) return call.answer(0);
  if (observer == nullptr || slots.size() >= kMaxConnectionObservers) {
    return call.answer(kMisuse);
  }
  slots.push_back({observer, deleter});
  remember(call.world().connection_history, observer, id());
  return call.answer(0);
}

int Connection::unregisterObserver(agora::rtc::IRtcConnectionObserver* observer) {
  void (*deleter)(agora::rtc::IRtcConnectionObserver*) = nullptr;
  int result;
  {
    Call call(Op::connection_unregister_observer, id(), Kind::connection);
    call.pointer_arg("observer", observer);
    if (call.intercepted()) return call.answer(call.code());
    auto& slots = call.record().connection_observers;
    auto it = std::find_if(slots.begin(), slots.end(), [&](const ConnectionObserverSlot& s) {
      return s.observer == observer;
    });
    if (it == slots.end()) return call.answer(kMisuse);
    deleter = it->deleter;
    slots.erase(it);
    // The deleter may free it: no engine thread may still be inside it.
    if (deleter != nullptr) live_mode::wait_for_callbacks(call.lock(), observer);
    forget(call.world().connection_history, observer, id(), deleter != nullptr);
    result = call.answer(0);
  }
  // The observer may be gone once its deleter ran; it is handed over unlocked.
  if (deleter != nullptr) deleter(observer);
  return result;
}

LocalUser::LocalUser(World& locked, uint64_t connection)
    : registration_(locked, Kind::local_user, this, TrackSource::none, connection) {}

int LocalUser::setAudioScenario(int scenario) {
  return store_setting(Op::local_user_set_audio_scenario, id(), Kind::local_user, "scenario",
                       scenario, &Record::audio_scenario);
}

int LocalUser::setPlaybackSignalVolume(int volume) {
  return store_setting(Op::local_user_set_playback_signal_volume, id(), Kind::local_user,
                       "volume", volume, &Record::playback_signal_volume);
}

namespace {

int set_frame_parameters(Op op, uint64_t id, FrameParameters Record::*which, size_t channels,
                         uint32_t sample_rate, int mode, int samples_per_call) {
  Call call(op, id, Kind::local_user);
  call.arg("channels", static_cast<int64_t>(channels));
  call.arg("sample_rate", sample_rate);
  call.arg("mode", mode);
  call.arg("samples_per_call", samples_per_call);
  if (call.intercepted()) return call.answer(call.code());
  call.record().*which = FrameParameters{true, channels, sample_rate, mode, samples_per_call};
  return call.answer(0);
}

}  // namespace

int LocalUser::setPlaybackAudioFrameParameters(size_t numberOfChannels, uint32_t sampleRateHz,
                                               int mode, int samplesPerCall) {
  return set_frame_parameters(Op::local_user_set_playback_frame_parameters, id(),
                              &Record::playback_frame, numberOfChannels, sampleRateHz, mode,
                              samplesPerCall);
}

int LocalUser::setPlaybackAudioFrameBeforeMixingParameters(size_t numberOfChannels,
                                                           uint32_t sampleRateHz, int mode,
                                                           int samplesPerCall) {
  return set_frame_parameters(Op::local_user_set_before_mixing_parameters, id(),
                              &Record::before_mixing, numberOfChannels, sampleRateHz, mode,
                              samplesPerCall);
}

int LocalUser::registerAudioFrameObserver(agora::media::IAudioFrameObserverBase* observer) {
  Call call(Op::local_user_register_audio_frame_observer, id(), Kind::local_user);
  call.pointer_arg("observer", observer);
  if (call.intercepted()) return call.answer(call.code());
  auto& observers = call.record().frame_observers;
  if (std::find(observers.begin(), observers.end(), observer) != observers.end()) {
    return call.answer(0);
  }
  if (observer == nullptr || observers.size() >= kMaxFrameObservers) return call.answer(kMisuse);
  observers.push_back(observer);
  remember(call.world().frame_history, observer, id());
  return call.answer(0);
}

int LocalUser::unregisterAudioFrameObserver(agora::media::IAudioFrameObserverBase* observer) {
  Call call(Op::local_user_unregister_audio_frame_observer, id(), Kind::local_user);
  call.pointer_arg("observer", observer);
  if (call.intercepted()) return call.answer(call.code());
  auto& observers = call.record().frame_observers;
  auto it = std::find(observers.begin(), observers.end(), observer);
  if (it == observers.end()) return call.answer(kMisuse);
  observers.erase(it);
  forget(call.world().frame_history, observer, id(), false);
  return call.answer(0);
}

int LocalUser::publishAudio(agora::agora_refptr<agora::rtc::ILocalAudioTrack> track) {
  Call call(Op::local_user_publish_audio, id(), Kind::local_user);
  const uint64_t track_id = call.world().id_of(track.get());
  const bool ours = call.world().find(track_id, Kind::audio_track) != nullptr;
  call.arg("track", static_cast<int64_t>(ours ? track_id : 0));
  if (call.intercepted()) return call.answer(call.code());
  if (!ours) return call.answer(kMisuse);
  auto& published = call.record().published;
  if (std::find(published.begin(), published.end(), track) == published.end()) {
    published.push_back(std::move(track));
  }
  return call.answer(0);
}

int LocalUser::unpublishAudio(agora::agora_refptr<agora::rtc::ILocalAudioTrack> track) {
  // Declared before the call: the published reference may be the last one,
  // and the track's destructor takes the lock.
  agora::agora_refptr<agora::rtc::ILocalAudioTrack> removed;
  Call call(Op::local_user_unpublish_audio, id(), Kind::local_user);
  const uint64_t track_id = call.world().id_of(track.get());
  call.arg("track", static_cast<int64_t>(track_id));
  if (call.intercepted()) return call.answer(call.code());
  auto& published = call.record().published;
  auto it = std::find(published.begin(), published.end(), track);
  if (!track || it == published.end()) return call.answer(kMisuse);
  removed = std::move(*it);
  published.erase(it);
  return call.answer(0);
}

int LocalUser::subscribeAudio(agora::rtc::user_id_t userId, int options) {
  Call call(Op::local_user_subscribe_audio, id(), Kind::local_user);
  call.arg("user_id", userId);
  call.arg("options", options);
  if (call.intercepted()) return call.answer(call.code());
  call.record().subscriptions.push_back({optional_text(userId), options});
  return call.answer(0);
}

}  // namespace loopback::detail
