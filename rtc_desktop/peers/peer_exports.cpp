// Joining and leaving channels, the recovery window and token renewal.
#include <string>

#include "events/event_codes.h"
#include "frame/bounded_text.h"
#include "frame/runtime.h"
#include "peers/peer.h"

using dovrin::rtc_desktop::detail::bounded;
using dovrin::rtc_desktop::detail::kMaxRetiredPeers;
using dovrin::rtc_desktop::detail::kPeerSlots;
using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Peer;
using dovrin::rtc_desktop::detail::Runtime;
using namespace dovrin::rtc_probe;

namespace {

constexpr size_t kMaxChannel = 64;
constexpr size_t kMaxToken = 4096;
// A join step the library itself found failing: recorded like an SDK call's
// failure, and for a plain join the runtime fails with it.
int32_t join_failed(Runtime& rt, Peer& peer, uint32_t operation, int32_t code, uint32_t category,
                    bool v2) {
  peer.api_failed(operation, code, category);
  if (!v2) rt.fail();
  return -3;
}

// The SDK side of a join once the peer sits in its slot. Every failure
// leaves what was built for leave to undo.
int32_t connect_peer(Runtime& rt, Peer& peer, const char* channel, const char* token,
                     uint32_t local_uid, bool v2) {
  agora::rtc::RtcConnectionConfiguration config;
  config.autoSubscribeAudio = false;
  config.autoSubscribeVideo = false;
  config.enableAudioRecordingOrPlayout = false;
  config.clientRoleType = 1;
  config.channelProfile = 0;
  peer.connection = rt.service->createRtcConnection(config);
  peer.pcm_sender = rt.node_factory->createAudioPcmDataSender();

  if (rt.encoded_publishing) {
    peer.encoded_sender = rt.node_factory->createAudioEncodedFrameSender();
    peer.publisher = std::make_unique<dovrin::rtc_client::OpusPublisher>();
    if (!peer.publisher->initialize(rt.encoder_settings)) {
      return join_failed(rt, peer, kOpJoinObjects, -3, kCategoryLibrary, v2);
    }
    // Mix mode 1: the SDK forwards the packets as they are.
    if (peer.encoded_sender) peer.track = rt.service->createCustomAudioTrack(peer.encoded_sender, 1);
  } else if (peer.pcm_sender) {
    peer.track = rt.service->createCustomAudioTrack(peer.pcm_sender);
  }

  agora::rtc::ILocalUser* local_user = peer.connection ? peer.connection->getLocalUser() : nullptr;
  if (local_user == nullptr || !peer.track) {
    return join_failed(rt, peer, kOpJoinObjects, -3, kCategoryLibrary, v2);
  }

  if (!rt.check_peer(peer, kOpJoinAudioScenario, local_user->setAudioScenario(8), v2)) return -3;
  if (!rt.check_peer(peer, kOpJoinRegisterConnectionObserver,
                     peer.connection->registerObserver(&peer.connection_observer), v2)) {
    return -3;
  }
  peer.connection_observer_registered = true;
  if (!rt.check_peer(peer, kOpJoinBeforeMixingFormat,
                     local_user->setPlaybackAudioFrameBeforeMixingParameters(1, 48000, 0, 0), v2)) {
    return -3;
  }
  if (!rt.check_peer(peer, kOpJoinRegisterFrameObserver,
                     local_user->registerAudioFrameObserver(&peer.remote_audio), v2)) {
    return -3;
  }
  peer.frame_observer_registered = true;
  if (!rt.check_peer(peer, kOpJoinSignalVolume, local_user->setPlaybackSignalVolume(0), v2)) return -3;

  if (!peer.audio().authorize(2, false, true) || !peer.connection_observer.begin()) {
    return join_failed(rt, peer, kOpJoinAudioPath, -3, kCategoryLibrary, v2);
  }

  if (!peer.publisher &&
      !rt.check_peer(peer, kOpJoinLocalPlayback, peer.track->enableLocalPlayback(false, true), v2)) {
    return -3;
  }
  if (!rt.check_peer(peer, kOpJoinEnableTrack, peer.track->setEnabled(true), v2)) return -3;
  if (!rt.check_peer(peer, kOpJoinPublish, local_user->publishAudio(peer.track), v2)) return -3;
  peer.published = true;

  const std::string user = std::to_string(local_uid);
  agora::rtc::TConnectSettings settings;
  settings.token = token;
  settings.channelId = channel;
  settings.userId = user.c_str();
  const int connected = peer.connection->connect(settings);
  if (connected != 0) return join_failed(rt, peer, kOpConnect, connected, kCategorySdkCall, v2);
  return 0;
}

int32_t join_peer(DovrinRtcRuntime* handle, uint32_t slot, const char* channel, const char* token,
                  uint32_t local_uid, uint32_t remote_uid, bool v2) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || slot >= kPeerSlots || !bounded(channel, kMaxChannel) ||
      !bounded(token, kMaxToken) || local_uid == 0 || remote_uid == 0 || local_uid == remote_uid) {
    return -1;
  }
  if (!rt->ok() || rt->peers[slot]) return -2;
  if (v2 && rt->policy_callback == nullptr) return -5;
  if (rt->next_generation == UINT64_MAX) return -2;
  const uint64_t generation = rt->next_generation++;

  try {
    rt->peers[slot] = std::make_unique<Peer>(channel, local_uid, remote_uid, rt->recovery_window_ms,
                                             slot, generation, v2 ? rt->policy_callback : nullptr);
    return connect_peer(*rt, *rt->peers[slot], channel, token, local_uid, v2);
  } catch (...) {
    rt->fail();
    return -3;
  }
}

}  // namespace

extern "C" {

int32_t dovrin_rtc_desktop_join(DovrinRtcRuntime* handle, uint32_t slot, const char* channel,
                                const char* token, uint32_t local_uid, uint32_t remote_uid) {
  return join_peer(handle, slot, channel, token, local_uid, remote_uid, false);
}

int32_t dovrin_rtc_desktop_join_v2(DovrinRtcRuntime* handle, uint32_t slot, const char* channel,
                                   const char* token, uint32_t local_uid, uint32_t remote_uid) {
  return join_peer(handle, slot, channel, token, local_uid, remote_uid, true);
}

int32_t dovrin_rtc_desktop_leave(DovrinRtcRuntime* handle, uint32_t slot) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || slot >= kPeerSlots) return -1;
  if (!rt->peers[slot]) return 0;
  if (rt->retired_peers.size() >= kMaxRetiredPeers) {
    rt->fail();
    return -2;
  }
  bool stopped = false;
  try {
    stopped = rt->peers[slot]->stop();
    rt->retired_peers.push_back(std::move(rt->peers[slot]));
  } catch (...) {
    rt->fail();
    return -3;
  }
  if (!stopped) {
    rt->fail();
    return -3;
  }
  return 0;
}

int32_t dovrin_rtc_desktop_recovery_config(DovrinRtcRuntime* handle, uint32_t window_ms) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || !rt->ok()) return -2;
  if (window_ms < 1000 || window_ms > 60000) return -1;
  rt->recovery_window_ms = window_ms;
  return 0;
}

int32_t dovrin_rtc_desktop_renew(DovrinRtcRuntime* handle, uint32_t slot, const char* token) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || slot >= kPeerSlots || !bounded(token, kMaxToken)) return -1;
  if (!rt->ok() || !rt->peers[slot]) return -2;
  Peer& peer = *rt->peers[slot];
  if (peer.connection_observer.link() == ConnectionObserver::Link::Down) return -2;

  try {
    const uint64_t request = peer.begin_renewal(token);
    if (peer.renewal_tracking && request == 0) {
      peer.api_failed(kOpRenewalNotIssued, -1, kCategoryLibrary);
      return -3;
    }
    const int code = peer.connection->renewToken(token);
    peer.renewal_returned(request, code);
    return code != 0 ? -3 : 0;
  } catch (...) {
    rt->fail();
    return -3;
  }
}

}  // extern "C"
