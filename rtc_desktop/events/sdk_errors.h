// One slot's event log: every failure the library wants the host to judge
// becomes a record, the host's policy answers with an action, and a few
// records of particular kinds stay until replaced.
#pragma once

#include <cstdint>
#include <mutex>

#include "dovrin_rtc_desktop.h"

namespace dovrin::rtc_probe {

// Every member but `slot`, `generation` and `callback` is guarded by `mutex`;
// the host's policy runs with it held for recorded events, so a policy must
// not call back into the library for the same slot. Probes run without it.
class SdkErrors {
 public:
  static constexpr uint32_t kSdkVersion = 0x40700;
  static constexpr uint8_t kPlatform = 2;

  SdkErrors(uint32_t slot, uint64_t generation, DovrinRtcPolicyCallback callback) noexcept
      : slot_(slot), generation_(generation), callback_(callback) {}
  SdkErrors(const SdkErrors&) = delete;
  SdkErrors& operator=(const SdkErrors&) = delete;

  // Records one event and answers the policy's action, 0 to 4 (4 without a
  // policy). Any thread.
  uint32_t record(uint32_t category, uint32_t operation, int32_t raw_code, uint32_t context_flags,
                  uint64_t request_id);
  // Offers an observation: recorded only when the policy's probe answers 0.
  void observe(uint32_t operation, int32_t raw_code, uint32_t context_flags);
  // Asks the policy once whether it accepts tracked renewals.
  bool supports_renewal_tracking() const;

  DovrinRtcSdkEvent latest() const { return copy(latest_); }
  DovrinRtcSdkEvent failure() const { return copy(failure_); }
  DovrinRtcSdkEvent renewal() const { return copy(renewal_); }
  DovrinRtcSdkEvent connection() const { return copy(connection_); }
  DovrinRtcSdkEvent request() const { return copy(request_); }

 private:
  DovrinRtcSdkEvent copy(const DovrinRtcSdkEvent& record) const {
    std::lock_guard lock(mutex_);
    return record;
  }

  const uint32_t slot_;
  const uint64_t generation_;
  const DovrinRtcPolicyCallback callback_;
  mutable std::mutex mutex_;
  uint64_t counter_ = 0;
  DovrinRtcSdkEvent latest_{};
  DovrinRtcSdkEvent failure_{};
  DovrinRtcSdkEvent renewal_{};
  DovrinRtcSdkEvent connection_{};
  DovrinRtcSdkEvent request_{};
};

}  // namespace dovrin::rtc_probe
