#include "audio_host/capture_flags.h"

#include "dovrin/platform/clock.h"

namespace dovrin::audio_host {

namespace {
constexpr double kPermissionGrace = 3.0;
}

CaptureFlags::CaptureFlags() : started(platform::wallClockNow()) {}

void CaptureFlags::markNonZero() {
  std::lock_guard guard(lock);
  sawNonZero = true;
}

bool CaptureFlags::warningCandidate() {
  std::lock_guard guard(lock);
  return !sawNonZero && !warned && platform::wallClockNow() - started > kPermissionGrace;
}

void CaptureFlags::markWarned() {
  std::lock_guard guard(lock);
  warned = true;
}

}  // namespace dovrin::audio_host
