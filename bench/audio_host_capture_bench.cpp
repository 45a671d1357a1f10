// CPU time per second of captured audio: a 48 kHz stereo tap delivering 512-frame buffers,
// mixed down by the IO callback and written by the writer passes, with the clock virtual
// so that only work is measured. The figure includes the simulated device's own thread.

#include <benchmark/benchmark.h>

#include <ctime>
#include <optional>
#include <vector>

#include "audio_host/capture.h"
#include "audio_host/entry.h"
#include "dovrin/platform/sim/memory_streams.h"
#include "dovrin/platform/sim/sim_world.h"

namespace {

using namespace dovrin;
using platform::sim::Cycle;
using platform::sim::Feed;
using platform::sim::SimBuffer;

constexpr double kAudioSeconds = 20.0;
constexpr std::uint32_t kFrames = 512;

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void captureStereo48k(benchmark::State& state) {
  const bool pidMode = state.range(0) != 0;
  double cpu = 0.0;
  double audio = 0.0;
  for (auto _ : state) {
    platform::sim::SimWorld world;
    platform::sim::MemoryStreams streams;
    world.setJournal(false);
    world.setCaptureFormat(48000.0, 2);
    world.addProcess(300, 1);
    world.addProcess(500, 300);
    world.addProcess(501, 500);
    world.addProcessObject(500, true);
    world.addProcessObject(501, true);
    world.addProcessObject(300, false);
    world.addFeed(Feed{0.0, kFrames / 48000.0, -1, [](std::int64_t index, Cycle& cycle) {
                         if (!cycle.empty()) return;
                         std::vector<float> samples(2 * kFrames);
                         for (std::size_t i = 0; i < samples.size(); ++i)
                           samples[i] = static_cast<float>((static_cast<std::int64_t>(i) + index) % 200 - 100) / 128.0f;
                         cycle.push_back(SimBuffer::floats(std::move(samples), 2));
                       }});
    streams.discardOutput(true);
    world.install();
    streams.install();
    audio_host::gStop.store(false);
    world.at(world.now() + kAudioSeconds, [] { audio_host::gStop.store(true); });
    const double before = processCpuSeconds();
    const int status = audio_host::runCapture(pidMode ? std::optional<std::int32_t>(500) : std::nullopt, {});
    cpu += processCpuSeconds() - before;
    audio += static_cast<double>(streams.outBytes()) / 2.0 / 48000.0;
    benchmark::DoNotOptimize(status);
    streams.uninstall();
    world.uninstall();
  }
  state.counters["cpu_ms_per_audio_s"] = audio > 0.0 ? 1000.0 * cpu / audio : 0.0;
  state.counters["audio_s"] = audio;
}

BENCHMARK(captureStereo48k)->Arg(0)->Arg(1)->ArgName("pid_mode")->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
