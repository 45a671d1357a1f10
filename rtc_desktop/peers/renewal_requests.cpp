#include "peers/renewal_requests.h"

#include <cstring>

namespace dovrin::rtc_probe {

bool RenewalRequests::matches(const char* stored, size_t stored_length, const char* token,
                              size_t length) {
  return stored_length == length && std::memcmp(stored, token, length) == 0;
}

uint64_t RenewalRequests::issue(const char* token, size_t length) {
  if (!usable(token, length)) return 0;
  std::lock_guard guard(lock);
  // The same token again is the same request.
  if (matches(current_token, current_length, token, length)) return current_id;
  if (current_id == UINT64_MAX) return 0;
  std::memcpy(previous_token, current_token, sizeof previous_token);
  previous_length = current_length;
  previous_id = current_id;
  std::memset(current_token, 0, sizeof current_token);
  std::memcpy(current_token, token, length);
  current_length = length;
  return ++current_id;
}

std::pair<uint64_t, bool> RenewalRequests::identify(const char* token, size_t length) const {
  if (!usable(token, length)) return {0, false};
  std::lock_guard guard(lock);
  if (matches(current_token, current_length, token, length)) return {current_id, false};
  if (matches(previous_token, previous_length, token, length)) return {previous_id, true};
  return {0, false};
}

void RenewalRequests::clear() {
  std::lock_guard guard(lock);
  std::memset(current_token, 0, sizeof current_token);
  std::memset(previous_token, 0, sizeof previous_token);
  current_length = 0;
  previous_length = 0;
}

}  // namespace dovrin::rtc_probe
