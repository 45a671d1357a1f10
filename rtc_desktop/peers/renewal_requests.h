// The last two tokens submitted for renewal on one peer, so that the SDK's
// asynchronous result can be tied to the request it answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

namespace dovrin::rtc_probe {

// issue (host thread), identify (SDK thread) and clear (leave) are
// serialised by one mutex, never held together with an event log's.
class RenewalRequests {
 public:
  static constexpr size_t kTokenCapacity = 4097;

  RenewalRequests() = default;
  RenewalRequests(const RenewalRequests&) = delete;
  RenewalRequests& operator=(const RenewalRequests&) = delete;

  // The request identifier of the token, a new one for a new token; 0 when
  // nothing could be issued.
  uint64_t issue(const char* token, size_t length);
  // (request identifier or 0 when unknown, whether it is the replaced request)
  std::pair<uint64_t, bool> identify(const char* token, size_t length) const;
  // Forgets both tokens; identifiers keep counting so they stay unique.
  void clear();

  static bool matches(const char* stored, size_t stored_length, const char* token, size_t length);

 private:
  static bool usable(const char* token, size_t length) {
    return token != nullptr && length != 0 && length < kTokenCapacity;
  }

  mutable std::mutex lock;
  char current_token[kTokenCapacity] = {};
  char previous_token[kTokenCapacity] = {};
  size_t current_length = 0;
  size_t previous_length = 0;
  uint64_t current_id = 0;
  uint64_t previous_id = 0;
};

}  // namespace dovrin::rtc_probe
