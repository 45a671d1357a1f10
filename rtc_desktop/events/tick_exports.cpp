// The periodic tick that supervises every slot, and the per-slot status.
#include <cstdio>

#include "events/event_codes.h"
#include "frame/runtime.h"
#include "frame/steady_clock.h"
#include "peers/peer.h"

using dovrin::rtc_desktop::detail::kPeerSlots;
using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Peer;
using dovrin::rtc_desktop::detail::Runtime;
using namespace dovrin::rtc_probe;

namespace {

constexpr uint64_t kEventLineIntervalMs = 1000;

void print_event_line(Peer& peer) {
  const DovrinRtcSdkEvent event = peer.event_log.latest();
  if (event.sequence == 0 || event.sequence == peer.reported_event_sequence) return;
  // Rate-limited by the events' own recording times; fatal ones always show.
  if (!fatal_action(event.action) && event.monotonic_ms < peer.reported_event_ms + kEventLineIntervalMs) return;
  peer.reported_event_sequence = event.sequence;
  peer.reported_event_ms = event.monotonic_ms;
  std::fprintf(stderr,
               "DOVRIN_RTC_SDK_EVENT sdk_version=%u platform=%u category=%u operation=%u raw_code=%d "
               "slot=%u generation=%llu sequence=%llu monotonic_ms=%llu action=%u context_flags=%u\n",
               event.sdk_version, static_cast<unsigned>(event.platform),
               static_cast<unsigned>(event.category), static_cast<unsigned>(event.operation),
               event.raw_code, static_cast<unsigned>(event.slot),
               static_cast<unsigned long long>(event.generation),
               static_cast<unsigned long long>(event.sequence),
               static_cast<unsigned long long>(event.monotonic_ms), static_cast<unsigned>(event.action),
               static_cast<unsigned>(event.context_flags));
}

void print_quality_line(Peer& peer) {
  const uint64_t dropped = peer.audio().remote_dropped_blocks();
  // Repeats only once the count has at least doubled.
  if (dropped == 0 || (peer.reported_dropped_blocks != 0 && dropped / 2 < peer.reported_dropped_blocks)) {
    return;
  }
  peer.reported_dropped_blocks = dropped;
  std::fprintf(stderr, "DOVRIN_RTC_NATIVE_QUALITY dropped_remote_blocks=%llu\n",
               static_cast<unsigned long long>(dropped));
}

// Subscribes once per arrival of the remote user; false when the slot is
// done for this tick.
bool subscribe(Peer& peer) {
  auto& observer = peer.connection_observer;
  if (!observer.connected() || !observer.peer_present()) return true;
  const uint64_t generation = observer.peer_generation();
  if (peer.subscribed && peer.subscribed_generation == generation) return true;
  agora::rtc::ILocalUser* local_user = peer.connection->getLocalUser();
  const int result = local_user ? local_user->subscribeAudio(peer.remote_uid_text.c_str(), 0) : -1;
  if (result != 0) {
    const uint32_t action = peer.api_failed(kOpSubscribe, result, kCategorySdkCall);
    if (result == -2 && action == 0) observer.peer_unavailable(generation);
    return false;
  }
  peer.subscribed = true;
  peer.subscribed_generation = generation;
  return true;
}

void offer_observations(Peer& peer) {
  const int32_t link = peer.link_state();
  if (link != peer.reported_link_state) {
    peer.reported_link_state = link;
    peer.event_log.observe(kOpLinkState, link, link == 2 ? kFlagRecovering : 0);
  }
  const int32_t ready = peer.remote_ready();
  if (ready != peer.reported_ready) {
    peer.reported_ready = ready;
    peer.event_log.observe(kOpRemoteReady, ready, 0);
  }
}

}  // namespace

extern "C" {

int32_t dovrin_rtc_desktop_tick(DovrinRtcRuntime* handle) {
  Runtime* rt = owner(handle);
  if (rt == nullptr) return -1;
  if (!rt->ok()) return -2;
  try {
    for (auto& slot : rt->peers) {
      if (!slot) continue;
      Peer& peer = *slot;
      peer.connection_observer.check_recovery_deadline(dovrin::rtc_probe::steady_clock_ms());
      print_event_line(peer);
      print_quality_line(peer);
      if (peer.failed_slot()) {
        if (!peer.fault_reported.exchange(true, std::memory_order_acq_rel)) {
          std::fprintf(stderr, "DOVRIN_RTC_NATIVE_PEER event=%llu code=%d faults=%llu remote_detail=%llu\n",
                       static_cast<unsigned long long>(peer.connection_observer.failure_event()),
                       peer.connection_observer.failure_code(),
                       static_cast<unsigned long long>(peer.audio().stats().faults),
                       static_cast<unsigned long long>(peer.audio().remote_failure_detail()));
        }
        continue;
      }
      if (!subscribe(peer)) continue;
      offer_observations(peer);
    }
    if (rt->playback_on) {
      static const int16_t silence[960] = {};
      // Milliseconds of silence fed so far; the SDK's timestamp is 32 bits.
      const auto timestamp = static_cast<uint32_t>(rt->silence_samples / 48);
      const int result =
          rt->pcm_sender->sendAudioPcmData(silence, timestamp, timestamp, 480, 2, 2, 48000, 0);
      if (!rt->check(result, kOpPcmSend)) return -3;
      rt->silence_samples += 480;
    }
  } catch (...) {
    rt->fail();
    return -3;
  }
  return 0;
}

int32_t dovrin_rtc_desktop_status(DovrinRtcRuntime* handle, uint32_t slot) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || slot >= kPeerSlots) return -1;
  if (!rt->ok()) return -2;
  if (!rt->peers[slot]) return 0;
  const Peer& peer = *rt->peers[slot];
  if (peer.failed_slot()) return -2;
  return peer.link_state();
}

}  // extern "C"
