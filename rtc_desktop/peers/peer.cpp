#include "peers/peer.h"

#include "events/event_codes.h"
#include "frame/bounded_text.h"
#include "frame/teardown_step.h"

namespace dovrin::rtc_desktop::detail {
namespace {

using namespace rtc_probe;

// The category of a connection observer's event, by its operation.
uint32_t category_of(uint32_t operation) {
  switch (operation) {
    case kOpRenewalResult: return kCategoryRenewalResult;
    case kOpSdkError: return kCategorySdkError;
    case kOpMediaRelay: return kCategoryMediaRelay;
    case kOpDisconnected:
    case kOpUnexpectedConnecting:
    case kOpUnexpectedInterruption:
    case kOpUnexpectedReconnected:
    case kOpConnectionFailure:
    case kOpRemoteLeft:
      return kCategoryConnection;
    default: return kCategoryLibrary;
  }
}

void close_audio(void* context) { static_cast<Peer*>(context)->audio().close(); }
void confirm_audio(void* context) { static_cast<Peer*>(context)->audio().confirm_remote_connection(); }

}  // namespace

Peer::Peer(const char* channel, uint32_t local_uid, uint32_t remote_uid, uint32_t recovery_window_ms,
           uint32_t slot, uint64_t generation, DovrinRtcPolicyCallback policy)
    : remote_audio(channel, remote_uid, rtc_probe::RemoteOverflowPolicy::drop_oldest, 48000, 1),
      event_log(slot, generation, policy),
      renewal_tracking(event_log.supports_renewal_tracking()),
      connection_observer(remote_uid, &close_audio, this, channel, local_uid, &confirm_audio,
                          recovery_window_ms, policy ? &Peer::report : nullptr, policy != nullptr,
                          renewal_tracking ? &Peer::renewal_result : nullptr),
      remote_uid_text(std::to_string(remote_uid)) {}

Peer::~Peer() { stop(); }

bool Peer::stop() noexcept {
  remote_audio.observer.close();
  connection_observer.close();
  renewals.clear();

  bool clean = true;
  // Every step runs even when an earlier one failed or threw: a skipped
  // unregistration would leave the SDK calling into this peer, a skipped
  // reset would leak the SDK's object.
  auto call = [&clean](auto&& sdk_call) {
    int result = -1;
    const bool returned = teardown_step([&] { result = sdk_call(); });
    clean = clean && returned && result == 0;
  };
  if (connection) {
    agora::rtc::ILocalUser* local_user = nullptr;
    call([&] {
      local_user = connection->getLocalUser();
      return 0;
    });
    if (track) call([&] { return track->setEnabled(false); });
    if (published && local_user) call([&] { return local_user->unpublishAudio(track); });
    call([&] { return connection->disconnect(); });
    if (frame_observer_registered && local_user) {
      call([&] { return local_user->unregisterAudioFrameObserver(&remote_audio); });
    }
    if (connection_observer_registered) {
      call([&] { return connection->unregisterObserver(&connection_observer); });
    }
  }
  teardown_step([&] { track.reset(); });
  teardown_step([&] { pcm_sender.reset(); });
  teardown_step([&] { connection.reset(); });
  teardown_step([&] { encoded_sender.reset(); });
  publisher.reset();
  return clean;
}

uint32_t Peer::api_failed(uint32_t operation, int32_t code, uint32_t category) {
  if (code == 0) return 0;
  const uint32_t flags = kFlagPeerCall | (connection_observer.recovering() ? kFlagRecovering : 0);
  const uint32_t action = event_log.record(category, operation, code, flags, 0);
  if (fatal_action(action)) failed.store(true, std::memory_order_release);
  return action;
}

uint32_t Peer::report(void* context, uint32_t operation, int32_t code) {
  auto* peer = static_cast<Peer*>(context);
  const uint32_t flags = peer->connection_observer.recovering() ? kFlagRecovering : 0;
  return peer->event_log.record(category_of(operation), operation, code, flags, 0);
}

uint64_t Peer::begin_renewal(const char* token) {
  if (!renewal_tracking) return 0;
  return renewals.issue(token, bounded_length(token, rtc_probe::RenewalRequests::kTokenCapacity));
}

void Peer::renewal_returned(uint64_t request, int32_t code) {
  if (renewal_tracking) {
    if (fatal_action(event_log.record(kCategorySdkCall, kOpRenewalCall, code, kFlagTracked, request))) {
      failed.store(true, std::memory_order_release);
    }
  } else {
    api_failed(kOpRenewalCall, code, kCategorySdkCall);
  }
}

uint32_t Peer::renewal_result(void* context, const char* token, int32_t code) {
  auto* peer = static_cast<Peer*>(context);
  const auto [request, superseded] = peer->renewals.identify(token, bounded_length(token, rtc_probe::RenewalRequests::kTokenCapacity));
  return peer->event_log.record(kCategoryRenewalResult, kOpRenewalResult, code,
                                superseded ? kFlagTracked | kFlagSuperseded : kFlagTracked, request);
}

bool Peer::failed_slot() const {
  return failed.load(std::memory_order_acquire) || connection_observer.failed() ||
         audio().stats().faults != 0;
}

int32_t Peer::link_state() const {
  const auto link = connection_observer.link();
  if (link == ConnectionObserver::Link::Recovering) return 2;
  return published && link == ConnectionObserver::Link::Up ? 1 : 0;
}

int32_t Peer::remote_ready() const {
  return connection_observer.connected() && connection_observer.peer_present() && subscribed &&
                 subscribed_generation == connection_observer.peer_generation()
             ? 1
             : 0;
}

}  // namespace dovrin::rtc_desktop::detail
