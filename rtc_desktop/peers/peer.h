// One channel connection of a runtime: joined in a slot, publishing one
// local track, listening to one remote user.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "agora_service.h"
#include "dovrin_rtc_desktop.h"
#include "events/sdk_errors.h"
#include "peers/connection_observer.h"
#include "peers/remote_audio.h"
#include "peers/renewal_requests.h"
#include "publish/opus_publisher.h"

namespace dovrin::rtc_desktop::detail {

// Built and torn down on the host's thread (join, leave, destroy). From the
// registration of its observers until their unregistration in stop, and
// possibly shortly after, the SDK calls `remote_audio`,
// `connection_observer` and through it report/renewal_result on its own
// threads; what those touch is atomic, behind the event log's lock, behind
// the renewals' lock or owned by the duplex observer. The tick's bookkeeping
// is host-side only.
class alignas(64) Peer {
 public:
  Peer(const char* channel, uint32_t local_uid, uint32_t remote_uid, uint32_t recovery_window_ms,
       uint32_t slot, uint64_t generation, DovrinRtcPolicyCallback policy);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Undoes what the join did; true when every SDK call it made returned 0.
  // A second stop makes no SDK call. An SDK call that throws counts as a
  // failed one; the steps after it still run.
  bool stop() noexcept;
  // Records a failed call in the slot's log; a fatal answer marks the peer
  // failed. Answers the action (0 for a zero code, which records nothing).
  uint32_t api_failed(uint32_t operation, int32_t code, uint32_t category);
  // The connection observer's report callback.
  static uint32_t report(void* context, uint32_t operation, int32_t code);

  uint64_t begin_renewal(const char* token);
  void renewal_returned(uint64_t request, int32_t code);
  static uint32_t renewal_result(void* context, const char* token, int32_t code);

  rtc_probe::DuplexObserver& audio() { return remote_audio.observer; }
  const rtc_probe::DuplexObserver& audio() const { return remote_audio.observer; }
  // Failed by its policy, its connection or its audio path.
  bool failed_slot() const;
  // 2 recovering, 1 connected and published, 0 otherwise.
  int32_t link_state() const;
  // 1 when the remote user's audio is subscribed for its current presence.
  int32_t remote_ready() const;

  rtc_client::RemoteAudio remote_audio;
  rtc_probe::SdkErrors event_log;
  rtc_probe::RenewalRequests renewals;
  bool renewal_tracking;
  rtc_probe::ConnectionObserver connection_observer;
  agora::agora_refptr<agora::rtc::IRtcConnection> connection;
  agora::agora_refptr<agora::rtc::IAudioPcmDataSender> pcm_sender;
  agora::agora_refptr<agora::rtc::IAudioEncodedFrameSender> encoded_sender;
  std::unique_ptr<rtc_client::OpusPublisher> publisher;
  agora::agora_refptr<agora::rtc::ILocalAudioTrack> track;
  bool frame_observer_registered = false;
  bool connection_observer_registered = false;
  bool published = false;
  bool subscribed = false;
  // Written by send, renew and the tick, read by poll, status and the tick,
  // which the host may run on different threads.
  std::atomic<bool> failed{false};
  // The slot's fault line is printed once, by whichever of poll and the tick
  // meets the failure first.
  std::atomic<bool> fault_reported{false};
  uint64_t subscribed_generation = 0;
  uint64_t reported_dropped_blocks = 0;
  uint64_t reported_event_sequence = 0;
  uint64_t reported_event_ms = 0;
  int32_t reported_link_state = -1;
  int32_t reported_ready = -1;
  std::string remote_uid_text;
};

}  // namespace dovrin::rtc_desktop::detail
