// A 34-connection full-duplex call over the stand-in's live mode, in virtual
// time: one runtime joins 34 channels, each with a bot that talks back; the
// host sends, polls, plays, captures and ticks every 10 ms. Reports the
// engine's own CPU per second of audio per connection (process CPU minus the
// host thread's) and how much heap the stand-in holds at the end of the call
// beyond what the library's peers hold. The call's length in virtual seconds
// is the first argument (--virtual-seconds=N, default 60; 3600 for the hour
// figure).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dovrin_rtc_desktop.h"
#include "frame/steady_clock.h"
#include "loopback_control.h"
#include "virtual_call_main.h"

namespace {

constexpr const char* kAppId = "0123456789abcdef0123456789abcdef";
constexpr uint32_t kSlots = 34;
uint64_t virtual_seconds = 60;

double cpu_ms(clockid_t id) {
  timespec t{};
  clock_gettime(id, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

size_t heap_in_use() { return mallinfo2().uordblks; }

DovrinRtcRuntime* create() {
  DovrinRtcRuntime* rtc = nullptr;
  if (dovrin_rtc_desktop_create(LOOPBACK_SDK_PATH, kAppId, nullptr, nullptr, &rtc) != 0) std::abort();
  return rtc;
}

std::string room(uint32_t slot) { return "room-" + std::to_string(slot); }

void BM_LiveCall34(benchmark::State& state) {
  loopback::reset();
  loopback::set_journaling(false);
  // What the library's 34 peers hold, measured without the engine.
  size_t library_peers = 0;
  {
    DovrinRtcRuntime* probe = create();
    const size_t before = heap_in_use();
    for (uint32_t s = 0; s < kSlots; ++s) dovrin_rtc_desktop_join(probe, s, room(s).c_str(), "t", 1, 2);
    library_peers = heap_in_use() - before;
    dovrin_rtc_desktop_destroy(probe);
  }
  for (auto _ : state) {
    DovrinRtcRuntime* rtc = create();
    const size_t baseline = heap_in_use();
    loopback::start_live({});
    dovrin::rtc_probe::set_steady_clock(&loopback::now_ms_source, nullptr);
    loopback::set_microphone(loopback::services().back(), loopback::Source::tone(440));
    for (uint32_t s = 0; s < kSlots; ++s) {
      loopback::BotOptions bot;
      bot.channel = room(s);
      bot.user_id = std::to_string(100 + s);
      bot.source = loopback::Source::tone(200.0 + 10 * s);
      bot.record_capacity = 48000;  // one second: recordings are not the point here
      loopback::add_bot(bot);
      dovrin_rtc_desktop_join(rtc, s, room(s).c_str(), "t", 1, 100 + s);
    }
    dovrin_rtc_desktop_io(rtc, 1, 1);
    std::vector<int16_t> pcm(480, 500), stereo(960, 0);
    DovrinRtcAudioBlock block;
    uint64_t gaps = 0, heard = 0;
    const uint64_t ticks = virtual_seconds * 100;
    const double process_start = cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
    const double host_start = cpu_ms(CLOCK_THREAD_CPUTIME_ID);
    size_t heap_at_minute = 0;
    for (uint64_t t = 0; t < ticks; ++t) {
      for (uint32_t s = 0; s < kSlots; ++s) {
        dovrin_rtc_desktop_send(rtc, s, pcm.data(), 480, 48000, static_cast<int64_t>(t * 10));
        while (dovrin_rtc_desktop_poll(rtc, s + 1, &block) == 1) ++heard;
      }
      while (dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps) == 1) {
      }
      dovrin_rtc_desktop_play(rtc, stereo.data(), 480);
      dovrin_rtc_desktop_tick(rtc);
      loopback::run_for(10);
      if (t == 6000) heap_at_minute = heap_in_use();
    }
    const double engine_ms =
        (cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - process_start) - (cpu_ms(CLOCK_THREAD_CPUTIME_ID) - host_start);
    const size_t heap_end = heap_in_use();
    const double standin_mb =
        (static_cast<double>(heap_end) - static_cast<double>(baseline) - static_cast<double>(library_peers)) / 1e6;
    state.counters["virtual_s"] = static_cast<double>(virtual_seconds);
    state.counters["engine_cpu_ms_per_audio_s_per_connection"] =
        engine_ms / static_cast<double>(virtual_seconds) / kSlots;
    state.counters["standin_heap_MB"] = standin_mb;
    state.counters["heap_growth_after_1min_MB"] =
        heap_at_minute == 0 ? 0.0 : (static_cast<double>(heap_end) - static_cast<double>(heap_at_minute)) / 1e6;
    state.counters["blocks_heard"] = static_cast<double>(heard);
    std::printf("LIVE_FIGURE virtual_s=%llu engine_cpu_ms_per_audio_s_per_connection=%.3f standin_heap_MB=%.2f "
                "heap_growth_after_1min_MB=%.3f blocks_heard=%llu\n",
                static_cast<unsigned long long>(virtual_seconds),
                engine_ms / static_cast<double>(virtual_seconds) / kSlots, standin_mb,
                heap_at_minute == 0 ? 0.0
                                    : (static_cast<double>(heap_end) - static_cast<double>(heap_at_minute)) / 1e6,
                static_cast<unsigned long long>(heard));
    dovrin_rtc_desktop_destroy(rtc);
    loopback::stop_live();
    dovrin::rtc_probe::set_steady_clock(nullptr, nullptr);
  }
}
BENCHMARK(BM_LiveCall34)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) { return dovrin::bench::run_virtual_call_benchmarks(argc, argv, virtual_seconds); }
