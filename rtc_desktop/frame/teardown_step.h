// One step of a teardown that must go on whatever the step does.
#pragma once

namespace dovrin::rtc_desktop::detail {

// Runs `step`; true when it returned, false when it threw. A teardown calls
// SDK objects one after another and must reach its last step (the service's
// release) even when an earlier call throws, or everything after the
// throwing call would leak.
template <class Step>
bool teardown_step(Step&& step) noexcept {
  try {
    step();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace dovrin::rtc_desktop::detail
