#include "dovrin/platform/clock.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>

#include "installed.h"

namespace dovrin::platform {
namespace {

class SystemClock final : public Clock {
 public:
  double now() override {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
  }

  // A signal must not cut the pause short: the writer relies on at least this much time
  // passing between passes.
  void sleep(double seconds) override {
    if (!(seconds > 0.0)) return;
    double whole = std::floor(seconds);
    timespec request{static_cast<std::time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
    timespec remaining{};
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
  }
};

detail::Installed<Clock>& slot() {
  static SystemClock system;
  static detail::Installed<Clock> installed(system);
  return installed;
}

}  // namespace

void installClock(Clock* replacement) { slot().install(replacement); }
Clock& clock() { return slot().get(); }

double wallClockNow() { return clock().now(); }
void sleepFor(double seconds) { clock().sleep(seconds); }

}  // namespace dovrin::platform
