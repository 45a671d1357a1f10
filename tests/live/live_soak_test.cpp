// A short soak (30 s of virtual time, two runtimes one after the other, PCM
// then Opus) of 34 slots with churn, in every preset; scripts/soak.sh runs a
// long one in real time with the same checks.
#include <gtest/gtest.h>

#include <cstdio>

#include "live/soak.h"

namespace dovrin::testing {
namespace {

TEST(LiveSoak, ThirtyFourSlotsWithChurnKeepOrderAndJudgeEveryFailure) {
  SoakOptions options;
  options.seconds = 30;
  options.round_seconds = 15;
  options.seed = 20261210;
  const SoakFigures f = run_soak(options);
  const std::string text = describe(f);
  std::fputs(text.c_str(), stdout);
  EXPECT_EQ(f.violation_count, 0u) << "seed " << f.seed << "\n" << text;
  EXPECT_EQ(f.rounds, 2u);
  EXPECT_EQ(f.opus_rounds, 1u);
  // The churn happened, and audio flowed both ways through it.
  EXPECT_GT(f.link_losses, 0u);
  EXPECT_GT(f.long_link_losses, 0u);
  EXPECT_GT(f.bot_departures, 0u);
  EXPECT_GT(f.rejoins, 0u);
  EXPECT_GT(f.join_failures, 0u);
  EXPECT_GT(f.io_switches, 2u);
  EXPECT_GT(f.renewals, 0u);
  EXPECT_GT(f.slot_failures, 0u);
  EXPECT_EQ(f.slot_failures, f.fatal_answers);
  EXPECT_GT(f.remote_blocks, 34u * 2500);
  EXPECT_GT(f.bot_blocks_heard, 34u * 2500);
  EXPECT_GT(f.capture_blocks, 2500u);
  EXPECT_GT(f.remote_missing_lossy, 0u);
}

}  // namespace
}  // namespace dovrin::testing
