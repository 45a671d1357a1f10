#pragma once
// A simulated machine installed around each test, with the standard streams in memory
// stamped by the virtual clock.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "audio_host/entry.h"
#include "dovrin/platform/sim/memory_streams.h"
#include "dovrin/platform/sim/sim_world.h"

namespace dovrin::audio_host::testing {

using platform::sim::Access;
using platform::sim::Cycle;
using platform::sim::Feed;
using platform::sim::MemoryStreams;
using platform::sim::SimBuffer;
using platform::sim::SimDevice;
using platform::sim::SimWorld;

// A test pid below which everything in these suites hangs: init (1) is the root.
inline constexpr std::int32_t kLauncher = 300;

// Table cases with a `name` print as that name in test listings.
template <class Case>
  requires requires(const Case& c) { std::string(c.name); }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class HostWorld : public ::testing::Test {
 protected:
  void SetUp() override {
    world.install();
    streams.install();
    streams.stampWith(&world);
    gStop.store(false, std::memory_order_relaxed);
    world.addProcess(kLauncher, 1);
  }
  void TearDown() override {
    streams.uninstall();
    world.uninstall();
  }

  // A chain of processes below `root`, each the child of the one before; returns their pids.
  std::vector<std::int32_t> chain(std::int32_t root, int generations, std::int32_t firstPid) {
    std::vector<std::int32_t> pids;
    std::int32_t parent = root;
    for (int i = 0; i < generations; ++i) {
      world.addProcess(firstPid + i, parent);
      pids.push_back(parent = firstPid + i);
    }
    return pids;
  }

  void stopAt(double seconds) {
    world.at(t0 + seconds, [] { gStop.store(true, std::memory_order_relaxed); });
  }

  SimWorld world;
  MemoryStreams streams;
  const double t0 = world.now();
};

}  // namespace dovrin::audio_host::testing
