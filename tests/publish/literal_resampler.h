// The publisher's resampler evaluated term by term, trigonometry and all,
// exactly as its formula reads: the yardstick the precomputed rows must
// match bit for bit, and the cost they are measured against.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

namespace dovrin::rtc_client::testing {

// Output sample n of a block of count samples before rounding; history
// holds the 64 input samples before the block.
inline double literal_value(const int16_t* history, const int16_t* block, uint32_t count,
                            uint32_t input_rate, uint32_t output_rate, uint32_t n) {
  if (input_rate == output_rate) return block[n];
  const double pi = std::numbers::pi;
  const double d = static_cast<double>(n) * input_rate / output_rate - 32.0;
  const int64_t f = static_cast<int64_t>(std::floor(d));
  const double cutoff = 0.94 * std::min(1.0, static_cast<double>(output_rate) / input_rate);
  double acc = 0.0;
  double sum = 0.0;
  for (int64_t k = f - 31; k <= f + 32; ++k) {
    const double x = d - static_cast<double>(k);
    const double s = std::fabs(x) < 1e-9 ? cutoff : std::sin(pi * x * cutoff) / (pi * x);
    const double w = 0.42 + 0.5 * std::cos(pi * x / 32.0) + 0.08 * std::cos(pi * x / 16.0);
    const double c = s * w;
    double input = 0.0;
    if (k >= -64 && k < 0) {
      input = history[k + 64];
    } else if (k >= 0 && k < static_cast<int64_t>(count)) {
      input = block[k];
    }
    acc += input * c;
    sum += c;
  }
  return std::fabs(sum) > 1e-9 ? acc / sum : acc;
}

// The whole block, rounded half away from zero and clamped: out receives
// output_rate / 100 samples.
inline void literal_resample(const int16_t* history, const int16_t* block, uint32_t count,
                             uint32_t input_rate, uint32_t output_rate, int16_t* out) {
  for (uint32_t n = 0; n < output_rate / 100; ++n) {
    const double value = literal_value(history, block, count, input_rate, output_rate, n);
    out[n] = static_cast<int16_t>(std::clamp(std::round(value), -32768.0, 32767.0));
  }
}

}  // namespace dovrin::rtc_client::testing
