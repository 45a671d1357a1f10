#include "publish/resampler.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
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
    std::array<double, ResamplerRows::kTaps> row;
    double sum = 0.0;
    for (size_t j = 0; j < ResamplerRows::kTaps; ++j) {
      const double x = d - static_cast<double>(f - 31 + static_cast<int64_t>(j));
      const double s = std::fabs(x) < 1e-9 ? cutoff : std::sin(kPi * x * cutoff) / (kPi * x);
      const double w = 0.42 + 0.5 * std::cos(kPi * x / 32.0) + 0.08 * std::cos(kPi * x / 16.0);
      const double c = s * w;
      row[j] = c;
      sum += c;
    }
    // Compared as bits: equal doubles of different bits (0.0 and -0.0) must
    // stay apart for the products to stay exact.
    size_t r = 0;
    while (r < rows->sum.size() &&
           !(std::memcmp(row.data(), rows->coefficient[r].data(), sizeof row) == 0 &&
             std::memcmp(&sum, &rows->sum[r], sizeof sum) == 0)) {
      ++r;
    }
    if (r == rows->sum.size()) {
      rows->coefficient.push_back(row);
      rows->sum.push_back(sum);
    }
    rows->row[n] = static_cast<uint16_t>(r);
  }
  return rows;
}

// call_once makes concurrent first joins safe, and retries a build that ran
// out of memory.
struct Slot {
  std::once_flag once;
  std::unique_ptr<const ResamplerRows> rows;
};

// Output samples n .. n + W - 1 unrounded, into values. Their sums are W
// independent chains the processor overlaps, each still accumulated in the
// written order.
template <size_t W>
void accumulate(const ResamplerRows& rows, const double* window, uint32_t n, double* values) {
  const double* x[W];
  const double* c[W];
  double acc[W];
  for (size_t w = 0; w < W; ++w) {
    x[w] = window + rows.first[n + w];
    c[w] = rows.coefficient[rows.row[n + w]].data();
    acc[w] = 0.0;
  }
  for (size_t j = 0; j < ResamplerRows::kTaps; ++j) {
    for (size_t w = 0; w < W; ++w) acc[w] += x[w][j] * c[w][j];
  }
  for (size_t w = 0; w < W; ++w) {
    const double sum = rows.sum[rows.row[n + w]];
    values[n + w] = std::fabs(sum) > 1e-9 ? acc[w] / sum : acc[w];
  }
}

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
  constexpr size_t kGroup = 4;
  double window[ResamplerRows::kHistory + 480];
  std::copy(history, history + ResamplerRows::kHistory, window);
  std::copy(block, block + rows.count, window + ResamplerRows::kHistory);
  uint32_t n = 0;
  for (; n + kGroup <= rows.frames; n += kGroup) accumulate<kGroup>(rows, window, n, values);
  for (; n < rows.frames; ++n) accumulate<1>(rows, window, n, values);
}

}  // namespace dovrin::rtc_client::detail
