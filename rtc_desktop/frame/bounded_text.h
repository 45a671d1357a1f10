// Length checks for texts that come from the host, which never read past
// the limit they are given.
#pragma once

#include <cstddef>

namespace dovrin::rtc_desktop::detail {

// Characters before the first NUL within the first `limit` bytes; `limit`
// when there is none or the text is null.
inline size_t bounded_length(const char* text, size_t limit) noexcept {
  if (text == nullptr) return limit;
  for (size_t i = 0; i < limit; ++i) {
    if (text[i] == '\0') return i;
  }
  return limit;
}

// True for a text of 1 to `limit` characters; reads at most limit + 1 bytes.
inline bool bounded(const char* text, size_t limit) noexcept {
  if (text == nullptr) return false;
  const size_t length = bounded_length(text, limit + 1);
  return length >= 1 && length <= limit;
}

}  // namespace dovrin::rtc_desktop::detail
