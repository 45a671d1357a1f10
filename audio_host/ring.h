#pragma once
// The float samples between the IO callback (writer of the ring) and the writer passes
// of the main thread (reader of the ring). Both sides go through `lock`, a plain mutex held
// only for the copy, so the IO thread never waits long.
//
// Storage is allocated once, at construction, on the main thread: the IO callback may not
// allocate. Writes beyond the capacity drop the oldest samples, those already held first;
// the ring never holds more than `cap` samples, so a single write longer than `cap`
// keeps only its newest `cap` samples.

#include <cstdint>
#include <mutex>
#include <vector>

namespace dovrin::audio_host {

class Ring {
 public:
  // cap = max(1, seconds * rate truncated toward zero).
  Ring(double seconds, double rate);

  // IO thread. Ignored once closed, and for count <= 0.
  void write(const float* samples, std::int64_t count);
  // Main thread. Moves up to max of the oldest samples into out; returns how many.
  std::int64_t read(float* out, std::int64_t max);
  // Main thread. Later writes add nothing.
  void close();

  std::int64_t capacity() const { return cap; }
  std::int64_t held() const;

 private:
  std::vector<float> samples;  // circular, `cap` long
  std::int64_t cap;
  std::int64_t first = 0;  // index of the oldest held sample
  std::int64_t count = 0;
  bool closed = false;
  mutable std::mutex lock;
};

}  // namespace dovrin::audio_host
