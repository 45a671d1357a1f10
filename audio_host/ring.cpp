#include "audio_host/ring.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace dovrin::audio_host {

namespace {
std::int64_t capacityFor(double seconds, double rate) {
  double samples = std::trunc(seconds * rate);
  return samples >= 1.0 ? static_cast<std::int64_t>(samples) : 1;
}
}  // namespace

Ring::Ring(double seconds, double rate) : cap(capacityFor(seconds, rate)) {
  samples.resize(static_cast<std::size_t>(cap));
}

void Ring::write(const float* data, std::int64_t n) {
  if (n <= 0) return;
  std::lock_guard guard(lock);
  if (closed) return;
  if (n >= cap) {
    data += n - cap;
    n = cap;
    first = 0;
    count = 0;
  }
  const std::int64_t overflow = count + n - cap;
  if (overflow > 0) {
    first = (first + overflow) % cap;
    count -= overflow;
  }
  std::int64_t end = (first + count) % cap;
  const std::int64_t tail = std::min(n, cap - end);
  std::memcpy(samples.data() + end, data, static_cast<std::size_t>(tail) * sizeof(float));
  std::memcpy(samples.data(), data + tail, static_cast<std::size_t>(n - tail) * sizeof(float));
  count += n;
}

std::int64_t Ring::read(float* out, std::int64_t max) {
  std::lock_guard guard(lock);
  const std::int64_t n = std::clamp<std::int64_t>(max, 0, count);
  const std::int64_t head = std::min(n, cap - first);
  std::memcpy(out, samples.data() + first, static_cast<std::size_t>(head) * sizeof(float));
  std::memcpy(out + head, samples.data(), static_cast<std::size_t>(n - head) * sizeof(float));
  first = (first + n) % cap;
  count -= n;
  return n;
}

void Ring::close() {
  std::lock_guard guard(lock);
  closed = true;
}

std::int64_t Ring::held() const {
  std::lock_guard guard(lock);
  return count;
}

}  // namespace dovrin::audio_host
