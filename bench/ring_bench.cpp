// Cost of moving one 10 ms block through a ring, against the bare copy it
// is built around.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "audio/block.h"
#include "audio/ring.h"

namespace {

using dovrin::rtc_probe::Block;
using dovrin::rtc_probe::Ring;
using SmallRing = Ring<Block, 20>;

void BM_Memcpy2KB(benchmark::State& state) {
  auto from = std::make_unique<Block>();
  auto to = std::make_unique<Block>();
  for (auto _ : state) {
    benchmark::DoNotOptimize(from.get());
    std::memcpy(to->samples, from->samples, sizeof from->samples);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(sizeof from->samples));
}

void BM_RingPushPopOneThread(benchmark::State& state) {
  auto ring = std::make_unique<SmallRing>();
  auto in = std::make_unique<Block>();
  auto out = std::make_unique<Block>();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ring->push(*in, 20));
    benchmark::DoNotOptimize(ring->pop(*out));
    benchmark::ClobberMemory();
  }
}

// The timed thread produces; a consumer thread drains. Time per block is
// wall time over the blocks that crossed, so it is the pipeline's throughput.
void BM_RingPushPopTwoThreads(benchmark::State& state) {
  auto ring = std::make_unique<SmallRing>();
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> consumed{0};
  std::thread consumer([&] {
    Block out;
    uint64_t count = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      if (ring->pop(out)) {
        ++count;
        benchmark::DoNotOptimize(out.samples[0]);
      }
    }
    while (ring->pop(out)) ++count;
    consumed.store(count, std::memory_order_relaxed);
  });
  auto in = std::make_unique<Block>();
  uint64_t pushed = 0;
  for (auto _ : state) {
    in->epoch = pushed;
    while (!ring->push(*in, 20)) {
    }
    ++pushed;
  }
  stop.store(true, std::memory_order_relaxed);
  consumer.join();
  state.counters["consumed"] = static_cast<double>(consumed.load(std::memory_order_relaxed));
}

BENCHMARK(BM_Memcpy2KB)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RingPushPopOneThread)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RingPushPopTwoThreads)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();

}  // namespace
