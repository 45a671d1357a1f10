// Makes the library's steady clock read the stand-in's live clock for one
// scope, so that recovery windows and rate limits run on virtual time.
#pragma once

#include "frame/steady_clock.h"
#include "loopback_control.h"

namespace dovrin::testing {

class FollowLiveClock {
 public:
  FollowLiveClock() { rtc_probe::set_steady_clock(&loopback::now_ms_source, nullptr); }
  ~FollowLiveClock() { rtc_probe::set_steady_clock(nullptr, nullptr); }
  FollowLiveClock(const FollowLiveClock&) = delete;
  FollowLiveClock& operator=(const FollowLiveClock&) = delete;
};

}  // namespace dovrin::testing
