// The library's one source of time: milliseconds of the monotonic steady
// clock. Tests replace it so that time windows are exercised without sleeping.
#pragma once

#include <cstdint>

namespace dovrin::rtc_probe {

// Milliseconds since the steady clock's epoch. Lock-free and allocation-free,
// so audio threads may call it.
uint64_t steady_clock_ms() noexcept;

// A replacement clock: called with its context, it answers the time in ms.
using ClockSource = uint64_t (*)(void* context) noexcept;

// Installs a replacement clock, or restores the real one when source is null.
// Must not overlap a running reader: install before the audio starts.
void set_steady_clock(ClockSource source, void* context) noexcept;

}  // namespace dovrin::rtc_probe
