#include "publish/resampler.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>

namespace dovrin::rtc_client::detail {
namespace {

constexpr std::array<uint32_t, 3> kInputRates{16000, 24000, 48000};
constexpr std::array<uint32_t, 5> kOutputRates{8000, 12000, 16000, 24000, 48000};

template <size_t N>
int index_of(const std::array<uint32_t, N>& rates, uint32_t rate) {
  const auto found = std::find(rates.begin(), rates.end(), rate);
  return found == rates.end() ? -1 : static_cast<int>(found - rates.begin());
}

std::unique_ptr<const ResamplerRows> build(uint32_t input_rate, uint32_t output_rate) {
  constexpr double kPi = std::numbers::pi;
  constexpr auto kHistory = static_cast<int64_t>(ResamplerRows::kHistory);
  auto rows = std::make_unique<ResamplerRows>();
  rows->frames = output_rate / 100;
  rows->count = input_rate / 100;
  const double cutoff = 0.94 * std::min(1.0, static_cast<double>(output_rate) / input_rate);
  for (uint32_t n = 0; n < rows->frames; ++n) {
    const double d = static_cast<double>(n) * input_rate / output_rate - 32.0;
    const auto f = static_cast<int64_t>(std::floor(d));
    // d lies in [-32, count - 32), so no tap falls outside history and
    // block, where the input would count as zero.
    assert(f - 31 >= -kHistory && f + 32 < static_cast<int64_t>(rows->count));
    rows->first[n] = static_cast<uint32_t>(f - 31 + kHistory);
    double sum = 0.0;
    for (size_t j = 0; j < ResamplerRows::kTaps; ++j) {
      const double x = d - static_cast<double>(f - 31 + static_cast<int64_t>(j));
      const double s = std::fabs(x) < 1e-9 ? cutoff : std::sin(kPi * x * cutoff) / (kPi * x);
      const double w = 0.42 + 0.5 * std::cos(kPi * x / 32.0) + 0.08 * std::cos(kPi * x / 16.0);
      const double c = s * w;
      rows->coefficient[n][j] = c;
      sum += c;
    }
    rows->sum[n] = sum;
  }
  return rows;
}

// call_once makes concurrent first joins safe, and retries a build that ran
// out of memory.
struct Slot {
  std::once_flag once;
  std::unique_ptr<const ResamplerRows> rows;
};

}  // namespace

const ResamplerRows* resampler_rows(uint32_t input_rate, uint32_t output_rate) {
  static Slot slots[kInputRates.size()][kOutputRates.size()];
  const int input = index_of(kInputRates, input_rate);
  const int output = index_of(kOutputRates, output_rate);
  if (input < 0 || output < 0 || input_rate == output_rate) return nullptr;
  Slot& slot = slots[input][output];
  std::call_once(slot.once, [&] { slot.rows = build(input_rate, output_rate); });
  return slot.rows.get();
}

void resample(const ResamplerRows& rows, const int16_t* history, const int16_t* block,
              double* values) noexcept {
  constexpr size_t kTaps = ResamplerRows::kTaps;
  double window[ResamplerRows::kHistory + 480];
  std::copy(history, history + ResamplerRows::kHistory, window);
  std::copy(block, block + rows.count, window + ResamplerRows::kHistory);

  const auto finish = [&](uint32_t n, double acc) {
    const double sum = rows.sum[n];
    values[n] = std::fabs(sum) > 1e-9 ? acc / sum : acc;
  };
  // Four output samples at a time: their sums are independent chains the
  // processor overlaps, each still accumulated in its own order.
  uint32_t n = 0;
  for (; n + 4 <= rows.frames; n += 4) {
    const double* x0 = window + rows.first[n];
    const double* x1 = window + rows.first[n + 1];
    const double* x2 = window + rows.first[n + 2];
    const double* x3 = window + rows.first[n + 3];
    const double* c0 = rows.coefficient[n].data();
    const double* c1 = rows.coefficient[n + 1].data();
    const double* c2 = rows.coefficient[n + 2].data();
    const double* c3 = rows.coefficient[n + 3].data();
    double a0 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
    double a3 = 0.0;
    for (size_t j = 0; j < kTaps; ++j) {
      a0 += x0[j] * c0[j];
      a1 += x1[j] * c1[j];
      a2 += x2[j] * c2[j];
      a3 += x3[j] * c3[j];
    }
    finish(n, a0);
    finish(n + 1, a1);
    finish(n + 2, a2);
    finish(n + 3, a3);
  }
  for (; n < rows.frames; ++n) {
    const double* x = window + rows.first[n];
    const double* c = rows.coefficient[n].data();
    double acc = 0.0;
    for (size_t j = 0; j < kTaps; ++j) acc += x[j] * c[j];
    finish(n, acc);
  }
}

}  // namespace dovrin::rtc_client::detail
