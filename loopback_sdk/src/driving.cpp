// Driving the library's registered objects from the caller's thread. Targets
// are snapshotted under the lock into fixed arrays and called after it is
// released; nothing here allocates around the frame and sink callbacks.
#include <algorithm>
#include <stdexcept>

#include "live/engine.h"
#include "world.h"

namespace loopback {

using agora::media::IAudioFrameObserver;
using agora::media::IAudioFrameObserverBase;
using agora::rtc::IRtcConnectionObserver;
using detail::world;

namespace {

// The SDK-owned text of a TConnectionInfo; the AutoPtr holding it releases it.
class SdkString final : public agora::util::IString {
 public:
  explicit SdkString(std::string text) : text_(std::move(text)) {}
  bool empty() const override { return text_.empty(); }
  const char* c_str() override { return text_.c_str(); }
  const char* data() override { return text_.data(); }
  size_t length() override { return text_.size(); }
  void release() override { delete this; }

 private:
  ~SdkString() override = default;
  std::string text_;
};

agora::util::AString make_text(const std::optional<std::string>& text) {
  return text ? agora::util::AString(new SdkString(*text)) : agora::util::AString();
}

const char* c_str(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

void detail::deliver(IRtcConnectionObserver& o, const Notification& n,
             const agora::rtc::TConnectionInfo& info) {
  using agora::rtc::CONNECTION_CHANGED_REASON_TYPE;
  const auto& v = n.numbers;
  const auto reason = static_cast<CONNECTION_CHANGED_REASON_TYPE>(v[0]);
  const auto i = [&](size_t k) { return static_cast<int>(v[k]); };
  const auto u = [&](size_t k) { return static_cast<unsigned>(v[k]); };
  switch (n.notice) {
    case Notice::connected: return o.onConnected(info, reason);
    case Notice::disconnected: return o.onDisconnected(info, reason);
    case Notice::connecting: return o.onConnecting(info, reason);
    case Notice::reconnecting: return o.onReconnecting(info, reason);
    case Notice::reconnected: return o.onReconnected(info, reason);
    case Notice::connection_lost: return o.onConnectionLost(info);
    case Notice::lastmile_quality:
      return o.onLastmileQuality(static_cast<agora::rtc::QUALITY_TYPE>(v[0]));
    case Notice::lastmile_probe_result:
      return o.onLastmileProbeResult(agora::rtc::LastmileProbeResult{i(0), u(1)});
    case Notice::token_privilege_will_expire:
      return o.onTokenPrivilegeWillExpire(c_str(n.text));
    case Notice::token_privilege_did_expire: return o.onTokenPrivilegeDidExpire();
    case Notice::renew_token_result: return o.onRenewTokenResult(c_str(n.text), i(0));
    case Notice::connection_failure: return o.onConnectionFailure(info, reason);
    case Notice::user_joined: return o.onUserJoined(c_str(n.text));
    case Notice::user_left:
      return o.onUserLeft(c_str(n.text), static_cast<agora::rtc::USER_OFFLINE_REASON_TYPE>(v[0]));
    case Notice::transport_stats:
      return o.onTransportStats(agora::rtc::RtcStats{u(0), u(1), u(2)});
    case Notice::change_role_success: return o.onChangeRoleSuccess(i(0), i(1));
    case Notice::change_role_failure: return o.onChangeRoleFailure(i(0), i(1));
    case Notice::user_network_quality:
      return o.onUserNetworkQuality(c_str(n.text), i(0), i(1));
    case Notice::network_type_changed: return o.onNetworkTypeChanged(i(0));
    case Notice::api_call_executed:
      return o.onApiCallExecuted(i(0), c_str(n.text), c_str(n.text2));
    case Notice::content_inspect_result: return o.onContentInspectResult(i(0));
    case Notice::snapshot_taken:
      return o.onSnapshotTaken(c_str(n.text), u(0), c_str(n.text2), i(1), i(2), i(3));
    case Notice::error: return o.onError(i(0), c_str(n.text));
    case Notice::channel_media_relay_state_changed:
      return o.onChannelMediaRelayStateChanged(i(0), i(1));
  }
}

agora::rtc::TConnectionInfo detail::make_info(const ConnectionInfo& in) {
  agora::rtc::TConnectionInfo info;
  info.id = in.id;
  info.channelId = make_text(in.channel_id);
  info.state = in.state;
  info.localUserId = make_text(in.local_user_id);
  info.internalUid = in.internal_uid;
  return info;
}

namespace {

// Finds an observer in the registration history; a pointer the stand-in never
// saw, or one handed to its deleter, is not a valid target.
template <class Observer>
bool seen(const std::vector<ObserverRecord<Observer>>& history, const Observer* observer) {
  return std::any_of(history.begin(), history.end(), [&](const ObserverRecord<Observer>& h) {
    return h.observer == observer && !h.deleted;
  });
}

void check_buffer(const Frame& f) {
  if (f.samples.empty()) return;
  const FrameFormat& m = f.format;
  int64_t bytes = 0;
  if (m.samples_per_channel > 0 && m.channels > 0 && m.bytes_per_sample > 0) {
    bytes = int64_t{m.samples_per_channel} * m.channels * m.bytes_per_sample;
  }
  if (static_cast<uint64_t>(bytes) > f.samples.size_bytes()) {
    throw std::invalid_argument("frame buffer smaller than its format declares");
  }
}

}  // namespace

// Calls each observer in turn on one frame; header fields are restored before
// every call so that one observer's writes to them do not reach the next.
FrameAnswers detail::run(IAudioFrameObserverBase* const* targets, size_t count, const Frame& f) {
  FrameAnswers out;
  out.known = true;
  IAudioFrameObserverBase::AudioFrame frame;
  for (size_t k = 0; k < count; ++k) {
    const FrameFormat& m = f.format;
    frame.type = m.type;
    frame.samplesPerChannel = m.samples_per_channel;
    frame.bytesPerSample = m.bytes_per_sample;
    frame.channels = m.channels;
    frame.samplesPerSec = m.samples_per_sec;
    frame.buffer = f.samples.empty() ? nullptr : f.samples.data();
    frame.renderTimeMs = m.render_time_ms;
    frame.avsync_type = m.avsync_type;
    frame.presentationMs = m.presentation_ms;
    frame.audioTrackNumber = m.audio_track_number;
    frame.rtpTimestamp = m.rtp_timestamp;
    IAudioFrameObserverBase& o = *targets[k];
    bool answer = false;
    switch (f.position) {
      case Position::playback: answer = o.onPlaybackAudioFrame(f.channel_id, frame); break;
      case Position::record: answer = o.onRecordAudioFrame(f.channel_id, frame); break;
      case Position::mixed: answer = o.onMixedAudioFrame(f.channel_id, frame); break;
      case Position::ear_monitoring: answer = o.onEarMonitoringAudioFrame(frame); break;
      case Position::before_mixing_text:
        answer = o.onPlaybackAudioFrameBeforeMixing(f.channel_id, f.user_id, frame);
        break;
      case Position::before_mixing_uid: {
        auto* numeric = dynamic_cast<IAudioFrameObserver*>(&o);
        if (numeric == nullptr) continue;
        answer = numeric->onPlaybackAudioFrameBeforeMixing(f.channel_id, f.uid, frame);
        break;
      }
    }
    out.answers[out.observers++] = answer;
    if (answer) ++out.accepted;
  }
  return out;
}

using detail::deliver;
using detail::make_info;
using detail::run;

size_t notify(uint64_t connection, const Notification& notification) {
  live_mode::refuse_manual_driving();
  std::array<IRtcConnectionObserver*, kMaxConnectionObservers> targets{};
  size_t count = 0;
  {
    detail::World& w = world();
    std::lock_guard lock(w.mutex);
    const detail::Record* r = w.find(connection, Kind::connection);
    if (r == nullptr) return 0;
    for (const auto& slot : r->connection_observers) targets[count++] = slot.observer;
  }
  const auto info = make_info(notification.info);
  for (size_t k = 0; k < count; ++k) deliver(*targets[k], notification, info);
  return count;
}

bool notify_observer(IRtcConnectionObserver* observer, const Notification& notification) {
  live_mode::refuse_manual_driving();
  {
    detail::World& w = world();
    std::lock_guard lock(w.mutex);
    if (observer == nullptr || !seen(w.connection_history, observer)) return false;
  }
  deliver(*observer, notification, make_info(notification.info));
  return true;
}

SinkAnswers push_pcm(uint64_t track, const agora::media::base::AudioPcmFrame& frame) {
  live_mode::refuse_manual_driving();
  // Holding a reference keeps each sink alive through its callback even if the
  // library removes it meanwhile; the references drop after the lock is gone.
  std::array<agora::agora_refptr<agora::rtc::IAudioSinkBase>, kMaxSinks> held;
  SinkAnswers out;
  size_t count = 0;
  {
    detail::World& w = world();
    std::lock_guard lock(w.mutex);
    const detail::Record* r = w.find(track, Kind::audio_track);
    if (r == nullptr) return out;
    for (const auto& slot : r->sinks) held[count++] = slot.sink;
  }
  out.known = true;
  for (size_t k = 0; k < count; ++k) {
    const bool answer = held[k]->onAudioFrame(frame);
    out.answers[out.sinks++] = answer;
    if (answer) ++out.accepted;
  }
  return out;
}

FrameAnswers deliver_frame(uint64_t local_user, const Frame& frame) {
  live_mode::refuse_manual_driving();
  check_buffer(frame);
  std::array<IAudioFrameObserverBase*, kMaxFrameObservers> targets{};
  size_t count = 0;
  {
    detail::World& w = world();
    std::lock_guard lock(w.mutex);
    const detail::Record* r = w.find(local_user, Kind::local_user);
    if (r == nullptr) return FrameAnswers{};
    for (auto* o : r->frame_observers) targets[count++] = o;
  }
  return run(targets.data(), count, frame);
}

FrameAnswers deliver_frame_to(IAudioFrameObserverBase* observer, const Frame& frame) {
  live_mode::refuse_manual_driving();
  check_buffer(frame);
  {
    detail::World& w = world();
    std::lock_guard lock(w.mutex);
    if (observer == nullptr || !seen(w.frame_history, observer)) return FrameAnswers{};
  }
  return run(&observer, 1, frame);
}

}  // namespace loopback
