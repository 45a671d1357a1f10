// Cost of publishing one 10 ms block: the publisher's encode with and
// without resampling, libopus alone on the very frames the publisher hands
// it, the resampler both from its precomputed rows and term by term, and
// one block published on all 34 slots through the exports, once with one
// shared encoding and once slot by slot.
#include <benchmark/benchmark.h>
#include <opus.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <functional>
#include <numbers>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "dovrin_rtc_desktop.h"
#include "loopback_control.h"
#include "publish/literal_resampler.h"
#include "publish/opus_publisher.h"
#include "publish/resampler.h"

namespace {

using dovrin::rtc_client::EncoderSettings;
using dovrin::rtc_client::OpusPublisher;
using Block = std::vector<int16_t>;

constexpr size_t kBlocks = 1000;  // ten seconds, cycled

// Whisper-like syllables: noise through two wandering formants under a
// syllable envelope. On steady tones libopus soon settles in a far cheaper
// mode, which would measure that mode rather than speech.
std::vector<Block> whisper(uint32_t rate) {
  std::mt19937 rng(7);
  std::normal_distribution<double> gauss(0.0, 1.0);
  struct Resonator {
    double a = 0.0;
    double b = 0.0;
    double operator()(double x, double hz, uint32_t fs) {
      const double r = 0.97;
      const double y = x + 2 * r * std::cos(2 * std::numbers::pi * hz / fs) * a - r * r * b;
      b = a;
      a = y;
      return y;
    }
  };
  Resonator first;
  Resonator second;
  double f1 = 700.0;
  double f2 = 1800.0;
  std::vector<Block> blocks(kBlocks, Block(rate / 100));
  uint64_t t = 0;
  for (Block& block : blocks) {
    f1 = std::clamp(f1 + 30 * gauss(rng), 300.0, 900.0);
    f2 = std::clamp(f2 + 60 * gauss(rng), 1000.0, 2500.0);
    for (int16_t& s : block) {
      const double seconds = static_cast<double>(t++) / rate;
      const double envelope = std::max(
          0.0, std::sin(2 * std::numbers::pi * 3.3 * seconds +
                        std::sin(2 * std::numbers::pi * 0.7 * seconds)));
      const double v = second(first(0.3 * gauss(rng), f1, rate), f2, rate);
      s = static_cast<int16_t>(std::clamp(std::lround(envelope * v * 150 + 20 * gauss(rng)),
                                          -32768L, 32767L));
    }
  }
  return blocks;
}

// The 48 kHz material and the 16 kHz frames the publisher makes of it, so
// that every encoder below sees the very same frames.
struct Material {
  std::vector<Block> input = whisper(48000);
  std::vector<Block> frames;

  Material() {
    OpusPublisher publisher;
    publisher.initialize(EncoderSettings{});
    for (const Block& block : input) {
      publisher.encode(block.data(), 480, 48000);
      frames.emplace_back(publisher.frame().begin(), publisher.frame().end());
    }
  }
};

const Material& material() {
  static const Material shared;
  return shared;
}

// A bare libopus encoder configured as the publisher configures its own for
// the default settings; null on failure.
OpusEncoder* default_encoder() {
  int error = OPUS_OK;
  OpusEncoder* encoder = opus_encoder_create(16000, 1, OPUS_APPLICATION_VOIP, &error);
  if (encoder == nullptr || error != OPUS_OK) return nullptr;
  opus_encoder_ctl(encoder, OPUS_SET_BITRATE(32000));
  opus_encoder_ctl(encoder, OPUS_SET_FORCE_CHANNELS(1));
  opus_encoder_ctl(encoder, OPUS_SET_VBR(0));
  opus_encoder_ctl(encoder, OPUS_SET_DTX(0));
  return encoder;
}

void encode_blocks(benchmark::State& state, const std::vector<Block>& blocks,
                   uint32_t input_rate) {
  OpusPublisher publisher;
  if (!publisher.initialize(EncoderSettings{})) {
    state.SkipWithError("initialize failed");
    return;
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(publisher.encode(blocks[i].data(), input_rate / 100, input_rate));
    i = (i + 1) % kBlocks;
  }
}

void BM_EncodeFrom48kTo16k(benchmark::State& state) {
  encode_blocks(state, material().input, 48000);
}
void BM_EncodeAt16k(benchmark::State& state) { encode_blocks(state, material().frames, 16000); }

void BM_OpusEncodeAlone(benchmark::State& state) {
  const std::vector<Block>& frames = material().frames;
  OpusEncoder* encoder = default_encoder();
  if (encoder == nullptr) {
    state.SkipWithError("opus_encoder_create failed");
    return;
  }
  std::array<uint8_t, OpusPublisher::kMaxPacket> packet{};
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        opus_encode(encoder, frames[i].data(), 160, packet.data(), OpusPublisher::kMaxPacket));
    i = (i + 1) % kBlocks;
  }
  opus_encoder_destroy(encoder);
}

// Times `first` and `second` once per iteration on the thread's CPU clock, so
// load from elsewhere weighs on both alike, then runs `next`. Whichever runs
// second finds its state evicted by the other (about 10 % dearer), so the
// order alternates. Reports both averages and first / second as "ratio".
template <class First, class Second, class Next>
void time_in_pairs(benchmark::State& state, const char* first_name, First first, const char* second_name,
                   Second second, Next next) {
  const auto now_us = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
  };
  double first_us = 0.0;
  double second_us = 0.0;
  const auto timed = [&](auto& step, double& total) {
    const double start = now_us();
    step();
    total += now_us() - start;
  };
  bool first_leads = true;
  for (auto _ : state) {
    if (first_leads) {
      timed(first, first_us);
      timed(second, second_us);
    } else {
      timed(second, second_us);
      timed(first, first_us);
    }
    first_leads = !first_leads;
    next();
  }
  state.counters[first_name] = benchmark::Counter(first_us, benchmark::Counter::kAvgIterations);
  state.counters[second_name] = benchmark::Counter(second_us, benchmark::Counter::kAvgIterations);
  state.counters["ratio"] = second_us > 0.0 ? first_us / second_us : 0.0;
}

// The goal's ratio measured in pairs: one publisher encode from 48 kHz
// against one opus_encode of the same frame.
void BM_EncodeRatioToOpusAlone(benchmark::State& state) {
  const Material& shared = material();
  OpusPublisher publisher;
  OpusEncoder* encoder = default_encoder();
  if (!publisher.initialize(EncoderSettings{}) || encoder == nullptr) {
    state.SkipWithError("encoder set-up failed");
    opus_encoder_destroy(encoder);
    return;
  }
  std::array<uint8_t, OpusPublisher::kMaxPacket> packet{};
  size_t i = 0;
  time_in_pairs(
      state, "publisher_us",
      [&] { benchmark::DoNotOptimize(publisher.encode(shared.input[i].data(), 480, 48000)); },
      "opus_us",
      [&] {
        benchmark::DoNotOptimize(opus_encode(encoder, shared.frames[i].data(), 160, packet.data(),
                                             OpusPublisher::kMaxPacket));
      },
      [&] { i = (i + 1) % kBlocks; });
  opus_encoder_destroy(encoder);
}

// A runtime over the stand-in publishing Opus at the default settings, with
// every slot joined and connected; the stand-in journals nothing, so only
// the library's path and the SDK call itself are measured. Null on failure.
DovrinRtcRuntime* publishing_runtime() {
  loopback::reset();
  loopback::set_journaling(false);
  DovrinRtcRuntime* rtc = nullptr;
  if (dovrin_rtc_desktop_create(LOOPBACK_SDK_PATH, "0123456789abcdef0123456789abcdef", nullptr,
                                nullptr, &rtc) != 0 ||
      dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1) != 0) {
    dovrin_rtc_desktop_destroy(rtc);
    return nullptr;
  }
  for (uint32_t slot = 0; slot < DOVRIN_RTC_PEER_SLOTS; ++slot) {
    const std::string channel = "room-" + std::to_string(slot);
    const std::string local = std::to_string(1000 + slot);
    if (dovrin_rtc_desktop_join(rtc, slot, channel.c_str(), "token", 1000 + slot, 7) != 0) {
      dovrin_rtc_desktop_destroy(rtc);
      return nullptr;
    }
    const uint64_t connection = loopback::objects(loopback::Kind::connection).back().id;
    loopback::Notification connected;
    connected.notice = loopback::Notice::connected;
    connected.info.channel_id = channel;
    connected.info.local_user_id = local;
    loopback::notify(connection, connected);
  }
  return rtc;
}

std::array<uint32_t, DOVRIN_RTC_PEER_SLOTS> all_slots() {
  std::array<uint32_t, DOVRIN_RTC_PEER_SLOTS> slots{};
  std::iota(slots.begin(), slots.end(), 0u);
  return slots;
}

void BM_SendManyOver34Slots(benchmark::State& state) {
  const std::vector<Block>& blocks = material().input;
  DovrinRtcRuntime* rtc = publishing_runtime();
  if (rtc == nullptr) {
    state.SkipWithError("runtime set-up failed");
    return;
  }
  const auto slots = all_slots();
  std::array<int32_t, DOVRIN_RTC_PEER_SLOTS> results{};
  int64_t timestamp = 0;
  size_t i = 0;
  int32_t failed = 0;
  for (auto _ : state) {
    failed |= dovrin_rtc_desktop_send_many(rtc, slots.data(), DOVRIN_RTC_PEER_SLOTS, blocks[i].data(),
                                           480, 48000, timestamp, results.data());
    failed |= std::accumulate(results.begin(), results.end(), 0, std::bit_or<>());
    timestamp += 10;
    i = (i + 1) % kBlocks;
  }
  if (failed != 0) state.SkipWithError("a slot did not send");
  dovrin_rtc_desktop_destroy(rtc);
}

void BM_SendTo34SlotsOneByOne(benchmark::State& state) {
  const std::vector<Block>& blocks = material().input;
  DovrinRtcRuntime* rtc = publishing_runtime();
  if (rtc == nullptr) {
    state.SkipWithError("runtime set-up failed");
    return;
  }
  int64_t timestamp = 0;
  size_t i = 0;
  int32_t failed = 0;
  for (auto _ : state) {
    for (uint32_t slot = 0; slot < DOVRIN_RTC_PEER_SLOTS; ++slot) {
      failed |= dovrin_rtc_desktop_send(rtc, slot, blocks[i].data(), 480, 48000, timestamp);
    }
    timestamp += 10;
    i = (i + 1) % kBlocks;
  }
  if (failed != 0) state.SkipWithError("a slot did not send");
  dovrin_rtc_desktop_destroy(rtc);
}

// The goal's ratio for send_many, paired as for the publisher: one
// send_many over the 34 slots against one opus_encode of the same frame on
// a bare encoder.
void BM_SendManyRatioToOpusAlone(benchmark::State& state) {
  const Material& shared = material();
  DovrinRtcRuntime* rtc = publishing_runtime();
  OpusEncoder* encoder = default_encoder();
  if (rtc == nullptr || encoder == nullptr) {
    state.SkipWithError("set-up failed");
    dovrin_rtc_desktop_destroy(rtc);
    opus_encoder_destroy(encoder);
    return;
  }
  const auto slots = all_slots();
  std::array<int32_t, DOVRIN_RTC_PEER_SLOTS> results{};
  std::array<uint8_t, OpusPublisher::kMaxPacket> packet{};
  int64_t timestamp = 0;
  size_t i = 0;
  time_in_pairs(
      state, "send_many_us",
      [&] {
        benchmark::DoNotOptimize(dovrin_rtc_desktop_send_many(rtc, slots.data(), DOVRIN_RTC_PEER_SLOTS,
                                                              shared.input[i].data(), 480, 48000, timestamp,
                                                              results.data()));
      },
      "opus_us",
      [&] {
        benchmark::DoNotOptimize(opus_encode(encoder, shared.frames[i].data(), 160, packet.data(),
                                             OpusPublisher::kMaxPacket));
      },
      [&] {
        timestamp += 10;
        i = (i + 1) % kBlocks;
      });
  dovrin_rtc_desktop_destroy(rtc);
  opus_encoder_destroy(encoder);
}

void BM_ResampleRows48kTo16k(benchmark::State& state) {
  const std::vector<Block>& blocks = material().input;
  const auto* rows = dovrin::rtc_client::detail::resampler_rows(48000, 16000);
  std::array<double, 160> values{};
  size_t i = 0;
  for (auto _ : state) {
    const Block& history = blocks[(i + kBlocks - 1) % kBlocks];
    dovrin::rtc_client::detail::resample(*rows, history.data() + 480 - 64, blocks[i].data(),
                                         values.data());
    benchmark::DoNotOptimize(values.data());
    i = (i + 1) % kBlocks;
  }
}

void BM_ResampleTermByTerm48kTo16k(benchmark::State& state) {
  const std::vector<Block>& blocks = material().input;
  std::array<int16_t, 160> out{};
  size_t i = 0;
  for (auto _ : state) {
    const Block& history = blocks[(i + kBlocks - 1) % kBlocks];
    dovrin::rtc_client::testing::literal_resample(history.data() + 480 - 64, blocks[i].data(), 480,
                                                  48000, 16000, out.data());
    benchmark::DoNotOptimize(out.data());
    i = (i + 1) % kBlocks;
  }
}

void per_block(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);
}

// libopus switches modes as its analysis of the material evolves, and the
// modes differ in cost several times over. Every encoder benchmark
// therefore starts a fresh encoder and runs the same stretch of material,
// so that all of them meet the same modes.
void per_encoded_block(benchmark::internal::Benchmark* b) {
  per_block(b);
  b->Iterations(2 * kBlocks);
}

void per_resampled_block(benchmark::internal::Benchmark* b) {
  per_block(b);
  b->MinTime(0.3);
}

BENCHMARK(BM_EncodeFrom48kTo16k)->Apply(per_encoded_block);
BENCHMARK(BM_EncodeAt16k)->Apply(per_encoded_block);
BENCHMARK(BM_OpusEncodeAlone)->Apply(per_encoded_block);
BENCHMARK(BM_EncodeRatioToOpusAlone)->Apply(per_encoded_block);
BENCHMARK(BM_SendManyOver34Slots)->Apply(per_encoded_block);
// 34 encodings per iteration: fewer repetitions keep the run short.
BENCHMARK(BM_SendTo34SlotsOneByOne)->Apply(per_encoded_block)->Repetitions(3);
BENCHMARK(BM_SendManyRatioToOpusAlone)->Apply(per_encoded_block);
BENCHMARK(BM_ResampleRows48kTo16k)->Apply(per_resampled_block);
BENCHMARK(BM_ResampleTermByTerm48kTo16k)->Apply(per_resampled_block);

}  // namespace
