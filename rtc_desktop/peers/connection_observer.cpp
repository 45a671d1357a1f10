#include "peers/connection_observer.h"

#include "events/event_codes.h"
#include "frame/steady_clock.h"

namespace dovrin::rtc_probe {
namespace {

constexpr auto kOrder = std::memory_order_seq_cst;
constexpr uint32_t kMinWindowMs = 1000;
constexpr uint32_t kMaxWindowMs = 60000;
constexpr size_t kMaxChannelBytes = 64;

std::string decimal(uint32_t id) { return id == 0 ? std::string() : std::to_string(id); }

const char* text_of(const agora::util::AString& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

ConnectionObserver::ConnectionObserver(uint32_t remote_uid, Notify failure_callback, void* owner,
                                       const char* channel, uint32_t local_uid,
                                       Notify connected_callback, uint32_t window,
                                       Report report_callback, bool events_judged,
                                       RenewalResult renewal_callback)
    : remote_id(decimal(remote_uid)),
      channel_name(channel ? channel : ""),
      local_id(decimal(local_uid)),
      on_failure(failure_callback),
      on_connected(connected_callback),
      context(owner),
      window_ms(window),
      on_report(report_callback),
      event_mode(events_judged),
      on_renewal_result(renewal_callback) {}

uint64_t ConnectionObserver::clock_ms() { return steady_clock_ms(); }

bool ConnectionObserver::same(const char* text, const std::string& expected) {
  if (text == nullptr || expected.empty()) return false;
  // Includes the terminating NUL: "42" matches "42" and not "420".
  for (size_t i = 0; i <= expected.size(); ++i) {
    if (text[i] != expected.c_str()[i]) return false;
  }
  return true;
}

bool ConnectionObserver::live() const {
  const uint32_t now = state.load(kOrder);
  return now == Connecting || now == Connected;
}

ConnectionObserver::Link ConnectionObserver::link() const {
  const uint32_t now = state.load(kOrder);
  if (now != Connecting && now != Connected) return Link::Down;
  if (deadline_ms.load(kOrder) != 0 || link_lost.load(kOrder) ||
      (!event_mode && missing(presence.load(kOrder)))) {
    return Link::Recovering;
  }
  return now == Connected ? Link::Up : Link::Down;
}

bool ConnectionObserver::begin() {
  if (window_ms < kMinWindowMs || window_ms > kMaxWindowMs) return false;
  if (remote_id.empty() || channel_name.empty() || channel_name.size() > kMaxChannelBytes) return false;
  if (local_id.empty() || local_id == remote_id) return false;
  uint32_t expected = Idle;
  return state.compare_exchange_strong(expected, Connecting, kOrder);
}

void ConnectionObserver::close() {
  if (state.exchange(Closed, kOrder) < Failed && on_failure) on_failure(context);
}

void ConnectionObserver::fail(uint32_t operation, int32_t code, bool suppress_report) {
  uint32_t current = state.load(kOrder);
  if (current >= Failed) return;
  if (on_report && !suppress_report && !fatal_action(on_report(context, operation, code))) return;
  current = state.load(kOrder);
  while (current < Failed) {
    if (state.compare_exchange_weak(current, Failed, kOrder)) {
      latched_event.store(operation, kOrder);
      latched_code.store(code, kOrder);
      has_failed.store(true, kOrder);
      if (on_failure) on_failure(context);
      return;
    }
  }
}

void ConnectionObserver::check_recovery_deadline(uint64_t now_ms) {
  uint64_t deadline = deadline_ms.load(kOrder);
  if (!live() || deadline == 0 || now_ms < deadline) return;
  // Only the thread that marks the deadline expired raises the failure.
  if (deadline_ms.compare_exchange_strong(deadline, kExpired, kOrder)) fail(kOpDeadlinePassed, 0);
}

void ConnectionObserver::begin_recovery(int32_t reason, bool lost) {
  if (!live()) {
    fail(kOpUnexpectedInterruption, reason);
    return;
  }
  if (lost) link_lost.store(true, kOrder);
  // A deadline already running is kept: interruptions do not extend it.
  uint64_t none = 0;
  deadline_ms.compare_exchange_strong(none, clock_ms() + window_ms, kOrder);
  finish_recovery();
}

bool ConnectionObserver::held_open() const {
  return link_lost.load(kOrder) || (!event_mode && missing(presence.load(kOrder)));
}

void ConnectionObserver::finish_recovery() {
  for (;;) {
    if (state.load(kOrder) != Connected || held_open()) return;
    uint64_t deadline = deadline_ms.load(kOrder);
    if (deadline == kExpired) {
      fail(kOpDeadlinePassed, 0);
      return;
    }
    if (deadline == 0) return;
    const uint64_t now = clock_ms();
    if (now >= deadline) {
      check_recovery_deadline(now);
      return;
    }
    // Losing this exchange means another thread finished (or expired) the
    // recovery: its effect is that thread's to run.
    if (!deadline_ms.compare_exchange_strong(deadline, 0, kOrder)) return;
    if (!held_open()) {
      if (state.load(kOrder) == Connected && on_connected) on_connected(context);
      return;
    }
    // An interruption came in between the check above and the exchange: its
    // begin_recovery found this recovery's deadline still set and kept it,
    // and the exchange has just cleared it. That interruption is a recovery
    // of its own and gets its own deadline here. If it ended meanwhile, its
    // own finish found no deadline to clear, so go round again to complete it.
    uint64_t none = 0;
    deadline_ms.compare_exchange_strong(none, clock_ms() + window_ms, kOrder);
  }
}

bool ConnectionObserver::names_this_connection(const agora::rtc::TConnectionInfo& info) const {
  return same(text_of(info.channelId), channel_name) && same(text_of(info.localUserId), local_id);
}

void ConnectionObserver::resume(const agora::rtc::TConnectionInfo& info, int32_t reason) {
  if (!live()) {
    fail(kOpUnexpectedReconnected, reason);
    return;
  }
  if (!names_this_connection(info)) {
    fail(kOpOtherConnection, reason);
    return;
  }
  const uint64_t deadline = deadline_ms.load(kOrder);
  if (deadline == kExpired) {
    fail(kOpDeadlinePassed, 0);
    return;
  }
  if (deadline != 0) {
    const uint64_t now = clock_ms();
    if (now >= deadline) {
      check_recovery_deadline(now);
      return;
    }
  }
  uint32_t connecting = Connecting;
  state.compare_exchange_strong(connecting, Connected, kOrder);
  if (state.load(kOrder) == Connected) {
    link_lost.store(false, kOrder);
    finish_recovery();
  }
}

void ConnectionObserver::onConnected(const agora::rtc::TConnectionInfo& info,
                                     agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) {
  if (!names_this_connection(info)) {
    fail(kOpOtherConnection, reason);
  } else if (recovering()) {
    resume(info, reason);
  } else {
    uint32_t connecting = Connecting;
    if (!state.compare_exchange_strong(connecting, Connected, kOrder)) {
      fail(kOpUnexpectedConnected, reason);
    } else if (on_connected) {
      on_connected(context);
    }
  }
}

void ConnectionObserver::onDisconnected(const agora::rtc::TConnectionInfo&,
                                        agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) {
  if (state.load(kOrder) != Idle) fail(kOpDisconnected, reason);
}

void ConnectionObserver::onConnecting(const agora::rtc::TConnectionInfo&,
                                      agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) {
  const uint32_t current = state.load(kOrder);
  if (current == Connected) {
    begin_recovery(reason, true);
  } else if (current != Connecting) {
    fail(kOpUnexpectedConnecting, reason);
  }
}

void ConnectionObserver::onReconnecting(const agora::rtc::TConnectionInfo&,
                                        agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) {
  begin_recovery(reason, true);
}

void ConnectionObserver::onReconnected(const agora::rtc::TConnectionInfo& info,
                                       agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) {
  resume(info, reason);
}

void ConnectionObserver::onConnectionLost(const agora::rtc::TConnectionInfo&) {
  begin_recovery(0, true);
}

void ConnectionObserver::onTokenPrivilegeDidExpire() { fail(kOpTokenExpired, 0); }

void ConnectionObserver::onRenewTokenResult(const char* token, int code) {
  if (state.load(kOrder) >= Failed) return;
  if (on_renewal_result) {
    // The result is already in the log: failing must not report it twice.
    if (fatal_action(on_renewal_result(context, token, code))) fail(kOpRenewalResult, code, true);
  } else if (code != 0) {
    fail(kOpRenewalResult, code);
  } else if (on_report) {
    on_report(context, kOpRenewalResult, 0);
  }
}

void ConnectionObserver::onConnectionFailure(const agora::rtc::TConnectionInfo&,
                                             agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) {
  fail(kOpConnectionFailure, reason);
}

void ConnectionObserver::onUserJoined(agora::rtc::user_id_t user) {
  if (!matches(user)) return;
  uint64_t word = presence.load(kOrder);
  while ((word & 1) == 0) {
    if (word > UINT64_MAX - 3) {
      fail(kOpPresenceOverflow, 0);
      return;
    }
    // +3: the next generation and the present bit in one step.
    if (presence.compare_exchange_weak(word, word + 3, kOrder)) break;
  }
  finish_recovery();
}

void ConnectionObserver::mark_absent() {
  uint64_t word = presence.load(kOrder);
  while (!presence.compare_exchange_weak(word, word < 2 ? 2 : (word & ~uint64_t{1}), kOrder)) {
  }
}

void ConnectionObserver::onUserLeft(agora::rtc::user_id_t user,
                                    agora::rtc::USER_OFFLINE_REASON_TYPE reason) {
  if (!matches(user)) return;
  if (event_mode) {
    mark_absent();
    if (state.load(kOrder) < Failed && on_report) on_report(context, kOpRemoteLeft, reason);
  } else if (reason == agora::rtc::USER_OFFLINE_DROPPED) {
    mark_absent();
    begin_recovery(reason, false);
  } else {
    fail(kOpRemoteLeft, reason);
  }
}

void ConnectionObserver::onError(int code, const char*) {
  if (code != 0) fail(kOpSdkError, code);
}

void ConnectionObserver::onChannelMediaRelayStateChanged(int, int code) {
  if (code != 0) fail(kOpMediaRelay, code);
}

void ConnectionObserver::peer_unavailable(uint64_t generation) {
  uint64_t word = presence.load(kOrder);
  while ((word & 1) != 0 && (word >> 1) == generation) {
    if (presence.compare_exchange_weak(word, word & ~uint64_t{1}, kOrder)) return;
  }
}

}  // namespace dovrin::rtc_probe
