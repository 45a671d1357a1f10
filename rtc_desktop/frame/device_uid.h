// From the device manager's identifier of a device to its Core Audio UID,
// the name a host can keep across runs: the object id that the manager
// reports changes whenever the device comes and goes.
#pragma once

#include <cstddef>

namespace dovrin::rtc_desktop::detail {

// Parses `identifier` (1 to 127 decimal digits, at most 128 bytes read, a
// non-zero value that fits 32 bits) as an audio object id and stores that
// object's UID, UTF-8 with its NUL, in `output` (`capacity` bytes). False
// when the identifier is not such an id, the object has no readable UID,
// the UID does not fit with its NUL or is empty; `output` may then hold
// anything. Never throws.
bool device_uid(const char* identifier, char* output, size_t capacity) noexcept;

}  // namespace dovrin::rtc_desktop::detail
