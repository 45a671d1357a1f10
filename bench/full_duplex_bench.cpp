// What a full-duplex call costs: N slots (1 to 34) of one runtime over the
// stand-in's live mode in virtual time, each publishing Opus (16 kHz,
// 32 kb/s) to a bot that talks back; every 10 ms the host sends on every
// slot, polls every slot, takes capture, plays and ticks. In the same run,
// period by period, the same 16 kHz samples go through opus_encode alone on
// N encoders with the library's settings, the floor any implementation pays.
//
// Counters (per second of call):
//   exports_cpu_ms       the host thread's CPU inside the library's exports
//                        (send with its resampling and encoding, poll,
//                        capture_poll, play, tick)
//   callbacks_cpu_ms     the stand-in's threads' CPU inside the library's
//                        callbacks (remote audio, capture, playback, events)
//   library_cpu_ms       the two together: what the library itself costs
//   encoders_cpu_ms      the host thread's CPU inside opus_encode alone
//   ratio                library_cpu_ms / encoders_cpu_ms (the goal: 1.05)
//   process_cpu_ms       the whole process, less the encoders-alone part:
//                        the library and the stand-in's own work (decoding,
//                        resampling, bots)
//   engine_cpu_ms        process_cpu_ms less library_cpu_ms: the stand-in's
//                        own work
// The call's length in virtual seconds: --virtual-seconds=N (default 20).
#include <benchmark/benchmark.h>
#include <opus.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "dovrin_rtc_desktop.h"
#include "frame/steady_clock.h"
#include "loopback_control.h"
#include "live/signal_measure.h"
#include "publish/resampler.h"
#include "virtual_call_main.h"

namespace {

constexpr const char* kAppId = "0123456789abcdef0123456789abcdef";
uint64_t virtual_seconds = 20;

double cpu_ms(clockid_t id) {
  timespec t{};
  clock_gettime(id, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::string room(uint32_t slot) { return "duplex-" + std::to_string(slot); }

// The 16 kHz blocks the library's encoders code when the host sends
// `voice` in 480-sample blocks over and over: each block brought down by the
// library's own resampler after the previous one, and rounded as it rounds.
// The encoders alone then code the very samples the library coded, and the
// ratio shows the library's own work, not two signals' different cost.
std::vector<int16_t> as_the_encoders_hear(const std::vector<int16_t>& voice, size_t blocks) {
  namespace rc = dovrin::rtc_client::detail;
  const rc::ResamplerRows& rows = *rc::resampler_rows(48000, 16000);
  std::vector<int16_t> out(blocks * 160);
  std::array<double, rc::ResamplerRows::kMaxFrames> values{};
  for (size_t b = 0; b < blocks; ++b) {
    const int16_t* block = voice.data() + b * 480;
    const int16_t* before = voice.data() + ((b + blocks - 1) % blocks) * 480;
    rc::resample(rows, before + 480 - rc::ResamplerRows::kHistory, block, values.data());
    for (size_t n = 0; n < 160; ++n) out[b * 160 + n] = rc::to_sample(values[n]);
  }
  return out;
}

void BM_FullDuplexCall(benchmark::State& state) {
  const auto slots = static_cast<uint32_t>(state.range(0));
  constexpr size_t kVoiceBlocks = 400;
  const auto voice48 = dovrin::testing::speech_like(48000, kVoiceBlocks * 480);
  const auto voice16 = as_the_encoders_hear(voice48, kVoiceBlocks);
  loopback::reset();
  loopback::set_journaling(false);
  for (auto _ : state) {
    loopback::LiveOptions live;
    live.speaker_tap_capacity = 4800;
    live.time_callbacks = true;
    loopback::start_live(live);
    dovrin::rtc_probe::set_steady_clock(&loopback::now_ms_source, nullptr);
    DovrinRtcRuntime* rtc = nullptr;
    if (dovrin_rtc_desktop_create(LOOPBACK_SDK_PATH, kAppId, nullptr, nullptr, &rtc) != 0) std::abort();
    loopback::set_microphone(loopback::services().back(), loopback::Source::tone(440));
    dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1);
    dovrin_rtc_desktop_io(rtc, 1, 1);
    for (uint32_t s = 0; s < slots; ++s) {
      loopback::BotOptions bot;
      bot.channel = room(s);
      bot.user_id = std::to_string(100 + s);
      bot.source = loopback::Source::tone(200.0 + 10 * s);
      bot.record_capacity = 4800;
      loopback::add_bot(bot);
      dovrin_rtc_desktop_join(rtc, s, room(s).c_str(), "t", 1, 100 + s);
    }
    for (int i = 0; i < 20; ++i) {
      dovrin_rtc_desktop_tick(rtc);
      loopback::run_for(10);
    }
    std::vector<OpusEncoder*> encoders(slots);
    for (auto& e : encoders) {
      int error = 0;
      e = opus_encoder_create(16000, 1, OPUS_APPLICATION_VOIP, &error);
      opus_encoder_ctl(e, OPUS_SET_BITRATE(32000));
      opus_encoder_ctl(e, OPUS_SET_FORCE_CHANNELS(1));
      opus_encoder_ctl(e, OPUS_SET_VBR(0));
      opus_encoder_ctl(e, OPUS_SET_DTX(0));
    }
    std::vector<int16_t> stereo(960, 0);
    unsigned char packet[1500];
    DovrinRtcAudioBlock block;
    uint64_t gaps = 0, heard = 0, sent = 0, encoded_bytes = 0;
    double exports_ms = 0, encoders_ms = 0;
    const uint64_t periods = virtual_seconds * 100;
    const double process_start = cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
    const uint64_t callbacks_start = loopback::callback_cpu_ns();
    for (uint64_t p = 0; p < periods; ++p) {
      const size_t at48 = p % kVoiceBlocks * 480;
      const size_t at16 = p % kVoiceBlocks * 160;
      const auto host = [&] {
        const double start = cpu_ms(CLOCK_THREAD_CPUTIME_ID);
        for (uint32_t s = 0; s < slots; ++s) {
          sent += dovrin_rtc_desktop_send(rtc, s, voice48.data() + at48, 480, 48000, static_cast<int64_t>(p * 10)) == 0;
          while (dovrin_rtc_desktop_poll(rtc, s + 1, &block) == 1) ++heard;
        }
        while (dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps) == 1) {
        }
        dovrin_rtc_desktop_play(rtc, stereo.data(), 480);
        dovrin_rtc_desktop_tick(rtc);
        exports_ms += cpu_ms(CLOCK_THREAD_CPUTIME_ID) - start;
      };
      const auto alone = [&] {
        const double start = cpu_ms(CLOCK_THREAD_CPUTIME_ID);
        for (uint32_t s = 0; s < slots; ++s) {
          const int n = opus_encode(encoders[s], voice16.data() + at16, 160, packet, sizeof packet);
          encoded_bytes += n > 0 ? static_cast<uint64_t>(n) : 0;
        }
        encoders_ms += cpu_ms(CLOCK_THREAD_CPUTIME_ID) - start;
      };
      // Whichever runs first meets caches the engine's threads just used;
      // taking turns spreads that cost evenly over the two.
      if (p % 2 == 0) {
        host();
        alone();
      } else {
        alone();
        host();
      }
      loopback::run_for(10);
    }
    const double process_ms = cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - process_start - encoders_ms;
    const double callbacks_ms = static_cast<double>(loopback::callback_cpu_ns() - callbacks_start) / 1e6;
    const double library_ms = exports_ms + callbacks_ms;
    for (auto* e : encoders) opus_encoder_destroy(e);
    dovrin_rtc_desktop_destroy(rtc);
    loopback::stop_live();
    dovrin::rtc_probe::set_steady_clock(nullptr, nullptr);

    const double seconds = static_cast<double>(virtual_seconds);
    state.counters["slots"] = slots;
    state.counters["exports_cpu_ms"] = exports_ms / seconds;
    state.counters["callbacks_cpu_ms"] = callbacks_ms / seconds;
    state.counters["library_cpu_ms"] = library_ms / seconds;
    state.counters["encoders_cpu_ms"] = encoders_ms / seconds;
    state.counters["ratio"] = library_ms / encoders_ms;
    state.counters["process_cpu_ms"] = process_ms / seconds;
    state.counters["engine_cpu_ms"] = (process_ms - library_ms) / seconds;
    state.counters["sent_per_s"] = static_cast<double>(sent) / seconds;
    state.counters["heard_per_s"] = static_cast<double>(heard) / seconds;
    std::printf("DUPLEX_FIGURE slots=%u virtual_s=%llu exports_cpu_ms_per_s=%.2f callbacks_cpu_ms_per_s=%.2f "
                "library_cpu_ms_per_s=%.2f encoders_cpu_ms_per_s=%.2f ratio=%.3f process_cpu_ms_per_s=%.2f "
                "engine_cpu_ms_per_s=%.2f sent=%llu heard=%llu encoded_bytes=%llu\n",
                slots, static_cast<unsigned long long>(virtual_seconds), exports_ms / seconds,
                callbacks_ms / seconds, library_ms / seconds,
                encoders_ms / seconds, library_ms / encoders_ms, process_ms / seconds,
                (process_ms - library_ms) / seconds, static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(heard), static_cast<unsigned long long>(encoded_bytes));
  }
}
BENCHMARK(BM_FullDuplexCall)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(17)->Arg(34)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) { return dovrin::bench::run_virtual_call_benchmarks(argc, argv, virtual_seconds); }
