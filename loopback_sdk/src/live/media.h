// Sample producers and converters of the live engine: the sources that feed
// microphones and bots, and a streaming libsamplerate converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "loopback_control.h"

struct SRC_STATE_tag;

namespace loopback::live_mode {

inline constexpr size_t kBlock = 480;  // 10 ms at 48 kHz
inline constexpr int kRate = 48000;

// Produces a Source block by block; a tone keeps its phase across blocks.
class SourceGenerator {
 public:
  SourceGenerator() = default;
  explicit SourceGenerator(Source source) : source_(std::move(source)) {}
  // Fills `out` with the block that starts at `time_ms`.
  void next(int16_t* out, uint64_t time_ms);

 private:
  Source source_;
  uint64_t position_ = 0;  // samples produced so far
};

// Streaming conversion of 16-bit mono to another rate. libsamplerate keeps a
// filter history, so consecutive pushes form one continuous signal.
class Resampler {
 public:
  Resampler(int from_rate, int to_rate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  int from() const { return from_; }
  int to() const { return to_; }
  // Appends the converted samples of `count` input samples to `out`.
  void push(const int16_t* in, size_t count, std::vector<int16_t>& out);

 private:
  int from_;
  int to_;
  SRC_STATE_tag* state_ = nullptr;
  std::vector<float> in_;
  std::vector<float> out_;
};

inline int16_t saturate(int32_t v) {
  return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

}  // namespace loopback::live_mode
