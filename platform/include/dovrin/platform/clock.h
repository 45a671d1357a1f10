#pragma once
// The wall clock the audio host paces its output by, and the sleep between writer passes.

namespace dovrin::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual double now() = 0;  // seconds since the epoch, fractional
  virtual void sleep(double seconds) = 0;
};

// nullptr restores the system's real-time clock.
void installClock(Clock* clock);
Clock& clock();

double wallClockNow();
void sleepFor(double seconds);

}  // namespace dovrin::platform
