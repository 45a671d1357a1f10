// The publisher's 64-tap windowed-sinc resampler, in precomputed rows.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dovrin::rtc_client::detail {

// Output sample n of a 10 ms block, all in double precision:
//   d = n * input_rate / output_rate - 32, f = floor(d),
//   cutoff = 0.94 * min(1, output_rate / input_rate),
//   for k = f - 31 .. f + 32: x = d - k,
//     c = (|x| < 1e-9 ? cutoff : sin(pi x cutoff) / (pi x))
//         * (0.42 + 0.5 cos(pi x / 32) + 0.08 cos(pi x / 16)),
//   value = sum(input(k) c) / sum(c) (undivided when |sum(c)| <= 1e-9),
// where input(k) is history[k + 64] for negative k. The 32-sample lag keeps
// every tap within the 64 samples of history and the block itself.
//
// Evaluated as written that is three trigonometric calls per tap, more
// than the encoder itself costs. But nothing in c depends on the audio: d
// depends only on n and the two rates, because every block restarts at
// n = 0. So each row of 64 coefficients and its sum are computed once per
// rate pair, with exactly the expressions above, and a block only
// multiplies and accumulates. The accumulation keeps the written order (k
// rising, one accumulator per output sample starting from 0.0) and the
// division stays a division, so every double equals the one the direct
// evaluation produces. That rests on the build: no fast-math, and ISO C++
// mode, in which GCC does not contract a multiply and an add into one.
//
// Rows that come out bit for bit the same are stored once: where d is a
// whole number for every n (48 kHz into 16 kHz, say) all rows coincide,
// and a block then reads 512 bytes of coefficients instead of 80 KiB that
// the encoder would push out of the cache between blocks.
struct ResamplerRows {
  static constexpr size_t kTaps = 64;
  static constexpr size_t kHistory = 64;
  static constexpr size_t kMaxFrames = 480;

  uint32_t frames = 0;  // output samples per block
  uint32_t count = 0;   // input samples per block
  // Index of each output sample's first tap in the block window, whose
  // element i holds input(i - 64): history first, then the block.
  std::array<uint32_t, kMaxFrames> first{};
  std::array<uint16_t, kMaxFrames> row{};  // into sum and coefficient
  std::vector<double> sum;                 // one per distinct row
  std::vector<std::array<double, kTaps>> coefficient;
};

// The rows from input_rate (16000, 24000 or 48000) to output_rate (8000,
// 12000, 16000, 24000 or 48000), or null for any other pair and for equal
// rates. Built on first use and then shared read-only by the whole process;
// safe to call from several threads. Throws std::bad_alloc.
const ResamplerRows* resampler_rows(uint32_t input_rate, uint32_t output_rate);

// The unrounded output of one block of rows.count samples into
// values[0 .. rows.frames). Allocates nothing.
void resample(const ResamplerRows& rows, const int16_t* history, const int16_t* block,
              double* values) noexcept;

// One output value as the sample the encoder is given: rounded half away
// from zero and clamped while still a double, since converting an
// out-of-range double to an integer is undefined.
inline int16_t to_sample(double value) noexcept {
  return static_cast<int16_t>(std::clamp(std::round(value), -32768.0, 32767.0));
}

}  // namespace dovrin::rtc_client::detail
