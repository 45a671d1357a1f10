// Signals for end-to-end audio checks and the figures that compare what
// arrived with what was sent, after aligning the delay.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace dovrin::testing {

// A sum of three steady tones at `rate`, amplitude about 0.6 of full scale.
inline std::vector<int16_t> tones(int rate, size_t count) {
  std::vector<int16_t> out(count);
  for (size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double v = 0.2 * std::sin(2 * std::numbers::pi * 300 * t) +
                     0.2 * std::sin(2 * std::numbers::pi * 1100 * t) +
                     0.2 * std::sin(2 * std::numbers::pi * 2900 * t);
    out[i] = static_cast<int16_t>(std::lround(v * 32767));
  }
  return out;
}

// Voiced, speech-like: a fundamental gliding 20 % around `base_hz` with
// harmonics shaped by three formants, under a syllable-rate envelope that
// either never falls silent or pauses between syllables, as a talker does.
inline std::vector<int16_t> speech_like(int rate, size_t count, double base_hz = 125, bool pauses = false) {
  std::vector<int16_t> out(count);
  double phase = 0;
  for (size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double f0 = base_hz + 0.2 * base_hz * std::sin(2 * std::numbers::pi * 3 * t);
    phase += 2 * std::numbers::pi * f0 / rate;
    double v = 0;
    for (int h = 1; h * f0 < 4000; ++h) {
      const double f = h * f0;
      const auto formant = [&](double centre, double width) {
        return std::exp(-((f - centre) * (f - centre)) / (2 * width * width));
      };
      const double gain = 0.05 + formant(700, 150) + 0.6 * formant(1200, 200) + 0.3 * formant(2600, 300);
      v += gain * std::sin(h * phase) / std::sqrt(h);
    }
    const double envelope = pauses ? std::max(0.0, std::sin(2 * std::numbers::pi * 2 * t))
                                   : 0.55 + 0.45 * std::sin(2 * std::numbers::pi * 4 * t);
    out[i] = static_cast<int16_t>(std::lround(std::clamp(0.12 * v * envelope, -1.0, 1.0) * 32767));
  }
  return out;
}

struct Comparison {
  size_t lag = 0;            // index in `received` where `sent` starts
  double correlation = 0;    // normalised, at that lag
  double snr_db = 0;         // sent against the difference
};

// Finds the lag in [from, to] that best aligns `sent` inside `received` and
// measures it there.
inline Comparison compare(const std::vector<int16_t>& sent, const std::vector<int16_t>& received,
                          size_t from, size_t to) {
  Comparison best;
  best.correlation = -2;
  for (size_t lag = from; lag <= to && lag + sent.size() <= received.size(); ++lag) {
    double xy = 0, xx = 0, yy = 0, err = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
      const double x = sent[i], y = received[lag + i];
      xy += x * y;
      xx += x * x;
      yy += y * y;
      err += (x - y) * (x - y);
    }
    const double c = (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0;
    if (c > best.correlation) {
      best.correlation = c;
      best.lag = lag;
      best.snr_db = err > 0 ? 10 * std::log10(xx / err) : 200;
    }
  }
  return best;
}

// The first index whose sample is not zero, or the size.
inline size_t first_sound(const std::vector<int16_t>& v) {
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] != 0) return i;
  }
  return v.size();
}

}  // namespace dovrin::testing
