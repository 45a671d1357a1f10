// One runtime over the stand-in's live mode in lock-step virtual time, the
// library's steady clock following it; the test plays the host.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "dovrin_rtc_desktop.h"
#include "loopback_control.h"
#include "support/live_clock.h"
#include "support/runtime_fixture.h"

namespace dovrin::testing {

class LiveRuntimeTest : public ::testing::Test {
 protected:
  // Starts the engine with `seed` and creates the runtime on it.
  void start(uint64_t seed) {
    loopback::reset();
    loopback::LiveOptions options;
    options.seed = seed;
    loopback::start_live(options);
    follow = std::make_unique<FollowLiveClock>();
    ASSERT_EQ(dovrin_rtc_desktop_create(sdk_path(), kAppId, nullptr, nullptr, &rtc), 0);
  }

  // Destroys the runtime and stops the engine; nothing of the stand-in may
  // outlive them.
  void TearDown() override {
    if (rtc != nullptr) dovrin_rtc_desktop_destroy(rtc);
    loopback::stop_live();
    follow.reset();
    EXPECT_EQ(loopback::live_total(), 0u);
    loopback::reset();
  }

  // Host periods: supervision, then 10 ms of the world, each.
  void step(int periods = 1) {
    for (int i = 0; i < periods; ++i) {
      ASSERT_GE(dovrin_rtc_desktop_tick(rtc), 0);
      loopback::run_for(10);
    }
  }

  std::unique_ptr<FollowLiveClock> follow;
  DovrinRtcRuntime* rtc = nullptr;
};

}  // namespace dovrin::testing
