#pragma once
// What the IO callback has seen, and whether the missing-permission warning was given;
// shared by the IO callback and the writer passes, each access under `lock`.

#include <mutex>

namespace dovrin::audio_host {

class CaptureFlags {
 public:
  CaptureFlags();  // started = now

  // IO thread: a buffer held a sample other than zero (NaN included).
  void markNonZero();
  // Main thread: no non-zero sample yet, no warning yet, and capture older than 3.0 s.
  bool warningCandidate();
  void markWarned();

 private:
  mutable std::mutex lock;
  bool sawNonZero = false;
  double started;
  bool warned = false;
};

}  // namespace dovrin::audio_host
