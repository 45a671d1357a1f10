// Supervises one peer's connection: its state, its recoveries against a
// deadline, and the presence of the one remote user the peer listens to.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "agora_connection.h"

namespace dovrin::rtc_probe {

// Lock-free. Notifications arrive on SDK threads concurrently with each
// other and with the host's queries, begin/close (join, leave) and the
// tick's deadline check. Every field that changes after construction is an
// atomic with sequentially consistent access, and every transition is one
// compare-and-swap or exchange, so exactly one thread wins it and runs its
// effect (on_failure, on_connected, the expiry's failure). The callbacks
// run on the winning thread.
class ConnectionObserver : public agora::rtc::IRtcConnectionObserver {
 public:
  enum State : uint32_t { Idle = 0, Connecting = 1, Connected = 2, Failed = 3, Closed = 4 };

  using Notify = void (*)(void* context);
  using Report = uint32_t (*)(void* context, uint32_t operation, int32_t code);
  using RenewalResult = uint32_t (*)(void* context, const char* token, int32_t code);

  // Marks a recovery whose deadline passed; it stays so that every later
  // attempt to finish that recovery fails again.
  static constexpr uint64_t kExpired = UINT64_MAX;

  ConnectionObserver(uint32_t remote_uid, Notify on_failure, void* context, const char* channel,
                     uint32_t local_uid, Notify on_connected, uint32_t window_ms, Report on_report,
                     bool event_mode, RenewalResult on_renewal_result);
  ConnectionObserver(const ConnectionObserver&) = delete;
  ConnectionObserver& operator=(const ConnectionObserver&) = delete;

  // Where the link stands, from one read of each field. A caller that asks
  // connected() and then recovering() can see a recovery begin between the
  // two and take a recovering link for a dead one; one snapshot is either
  // up, recovering or down, never neither.
  enum class Link : uint8_t { Down, Recovering, Up };

  // Queries: any thread.
  Link link() const;
  bool connected() const { return link() == Link::Up; }
  bool recovering() const { return link() == Link::Recovering; }
  bool failed() const { return has_failed.load(std::memory_order_seq_cst); }
  uint64_t failure_event() const { return latched_event.load(std::memory_order_seq_cst); }
  int32_t failure_code() const { return latched_code.load(std::memory_order_seq_cst); }
  bool peer_present() const { return (presence.load(std::memory_order_seq_cst) & 1) != 0; }
  uint64_t peer_generation() const { return presence.load(std::memory_order_seq_cst) >> 1; }
  bool peer_missing() const { return missing(presence.load(std::memory_order_seq_cst)); }
  bool matches(const char* user) const { return same(user, remote_id); }
  uint32_t current_state() const { return state.load(std::memory_order_seq_cst); }
  // 0 when no recovery runs, kExpired once one has run out.
  uint64_t recovery_deadline() const { return deadline_ms.load(std::memory_order_seq_cst); }

  // Commands from the host's side.
  bool begin();
  void close();
  void check_recovery_deadline(uint64_t now_ms);
  void peer_unavailable(uint64_t generation);

  static uint64_t clock_ms();
  static bool same(const char* text, const std::string& expected);

  // SDK notifications.
  void onConnected(const agora::rtc::TConnectionInfo& info,
                   agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) override;
  void onDisconnected(const agora::rtc::TConnectionInfo& info,
                      agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) override;
  void onConnecting(const agora::rtc::TConnectionInfo& info,
                    agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) override;
  void onReconnecting(const agora::rtc::TConnectionInfo& info,
                      agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) override;
  void onReconnected(const agora::rtc::TConnectionInfo& info,
                     agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) override;
  void onConnectionLost(const agora::rtc::TConnectionInfo& info) override;
  void onLastmileQuality(const agora::rtc::QUALITY_TYPE) override {}
  void onLastmileProbeResult(const agora::rtc::LastmileProbeResult&) override {}
  void onTokenPrivilegeWillExpire(const char*) override {}
  void onTokenPrivilegeDidExpire() override;
  void onRenewTokenResult(const char* token, int code) override;
  void onConnectionFailure(const agora::rtc::TConnectionInfo& info,
                           agora::rtc::CONNECTION_CHANGED_REASON_TYPE reason) override;
  void onUserJoined(agora::rtc::user_id_t user) override;
  void onUserLeft(agora::rtc::user_id_t user, agora::rtc::USER_OFFLINE_REASON_TYPE reason) override;
  void onTransportStats(const agora::rtc::RtcStats&) override {}
  void onError(int code, const char* message) override;
  void onChannelMediaRelayStateChanged(int relay_state, int code) override;

 private:
  // The remote user has been seen at least once and is absent now.
  static bool missing(uint64_t word) { return word >= 2 && (word & 1) == 0; }
  bool live() const;
  // Something still keeps a recovery open: the link, or (without event
  // mode) the remote user's absence.
  bool held_open() const;

  void fail(uint32_t operation, int32_t code, bool suppress_report = false);
  void begin_recovery(int32_t reason, bool lost);
  void finish_recovery();
  void resume(const agora::rtc::TConnectionInfo& info, int32_t reason);
  bool names_this_connection(const agora::rtc::TConnectionInfo& info) const;
  void mark_absent();

  std::atomic<uint64_t> latched_event{0};
  std::atomic<int32_t> latched_code{0};
  const std::string remote_id;
  const std::string channel_name;
  const std::string local_id;
  const Notify on_failure;
  const Notify on_connected;
  void* const context;
  const uint32_t window_ms;
  const Report on_report;
  const bool event_mode;
  const RenewalResult on_renewal_result;
  std::atomic<uint64_t> deadline_ms{0};
  std::atomic<bool> link_lost{false};
  std::atomic<uint32_t> state{Idle};
  std::atomic<bool> has_failed{false};
  // (presence generation << 1) | present.
  std::atomic<uint64_t> presence{0};
};

}  // namespace dovrin::rtc_probe
