#include "events/sdk_errors.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/manual_clock.h"

namespace {

using dovrin::rtc_probe::SdkErrors;

// A policy whose answers and seen events the test controls. Plain C
// callbacks carry no context, so the test policy lives in one global.
struct Policy {
  uint32_t recorded_answer = 0;
  uint32_t probe_answer = 0;
  std::vector<DovrinRtcSdkEvent> seen;
};
Policy* policy = nullptr;

uint32_t answer(const DovrinRtcSdkEvent* event) {
  policy->seen.push_back(*event);
  return event->sequence == 0 ? policy->probe_answer : policy->recorded_answer;
}

class SdkErrorsTest : public ::testing::Test {
 protected:
  SdkErrorsTest() { policy = &current; }
  ~SdkErrorsTest() override { policy = nullptr; }
  Policy current;
  dovrin::testing::ManualClock clock{5000};
};

TEST_F(SdkErrorsTest, RecordFillsTheRecordAndTheCallbackSeesActionZero) {
  current.recorded_answer = 2;
  SdkErrors log(7, 42, &answer);
  EXPECT_EQ(log.record(4, 21, -9, 2, 0), 2u);

  ASSERT_EQ(current.seen.size(), 1u);
  EXPECT_EQ(current.seen[0].action, 0);
  const DovrinRtcSdkEvent latest = log.latest();
  EXPECT_EQ(latest.sdk_version, 0x40700u);
  EXPECT_EQ(latest.platform, 2);
  EXPECT_EQ(latest.category, 4);
  EXPECT_EQ(latest.operation, 21);
  EXPECT_EQ(latest.slot, 7);
  EXPECT_EQ(latest.raw_code, -9);
  EXPECT_EQ(latest.action, 2);
  EXPECT_EQ(latest.context_flags, 2);
  EXPECT_EQ(latest.generation, 42u);
  EXPECT_EQ(latest.sequence, 1u);
  EXPECT_EQ(latest.monotonic_ms, 5000u);
  EXPECT_EQ(latest.request_id, 1u) << "operations 17 to 21 carry their own sequence";
  EXPECT_EQ(log.failure().sequence, 0u) << "action 2 is not fatal";
}

TEST_F(SdkErrorsTest, ActionsAboveFourAreFatalAndTheFirstFailureSticks) {
  current.recorded_answer = 7;
  SdkErrors log(3, 1, &answer);
  EXPECT_EQ(log.record(2, 3, 5, 0, 0), 4u);
  EXPECT_EQ(log.record(2, 8, 6, 0, 0), 4u);
  EXPECT_EQ(log.failure().operation, 3);
  EXPECT_EQ(log.failure().action, 4);
  EXPECT_EQ(log.latest().operation, 8);
  EXPECT_EQ(log.latest().sequence, 2u);
}

TEST_F(SdkErrorsTest, WithoutPolicyEveryEventIsFatalAndNothingIsObserved) {
  SdkErrors log(0, 1, nullptr);
  log.observe(22, 1, 0);
  EXPECT_EQ(log.latest().sequence, 0u);
  EXPECT_FALSE(log.supports_renewal_tracking());
  EXPECT_EQ(log.record(5, 15, 0, 1, 0), 4u);
  EXPECT_EQ(log.failure().sequence, 1u);
}

// Which of the kept records an event lands in, besides `latest`.
struct Landing {
  uint32_t category, operation, flags;
  uint64_t request_id;
  bool renewal, request, connection;
  uint64_t stored_request_id;
};

class SdkErrorsLanding : public SdkErrorsTest, public ::testing::WithParamInterface<Landing> {};

TEST_P(SdkErrorsLanding, EventLandsInItsKeptRecords) {
  const Landing& c = GetParam();
  SdkErrors log(1, 1, &answer);
  log.record(c.category, c.operation, 3, c.flags, c.request_id);
  EXPECT_EQ(log.renewal().sequence != 0, c.renewal);
  EXPECT_EQ(log.request().sequence != 0, c.request);
  EXPECT_EQ(log.connection().sequence != 0, c.connection);
  EXPECT_EQ(log.latest().request_id, c.stored_request_id);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SdkErrorsLanding,
    ::testing::Values(Landing{4, 17, 4, 9, false, true, false, 9},    // tracked renewal call
                      Landing{4, 17, 2, 0, true, false, false, 1},    // untracked failed call
                      Landing{4, 17, 3, 0, true, false, false, 1},    // ...while recovering
                      Landing{3, 11, 4, 5, true, false, false, 5},    // current request's result
                      Landing{3, 11, 12, 4, false, false, false, 4},  // superseded request's result
                      Landing{4, 19, 0, 0, false, false, false, 1},   // subscription: own sequence
                      Landing{5, 22, 1, 0, false, false, true, 0},    // link-state observation
                      Landing{4, 22, 2, 0, false, false, false, 0},   // join call 22, not observed
                      Landing{5, 24, 0, 0, false, false, false, 0})); // remote-ready observation

TEST_F(SdkErrorsTest, ObservationsAreRecordedOnlyWhenTheProbeSaysYes) {
  SdkErrors log(2, 1, &answer);
  current.probe_answer = 1;
  log.observe(22, 2, 1);
  EXPECT_EQ(log.latest().sequence, 0u);

  current.probe_answer = 0;
  log.observe(24, 1, 0);
  ASSERT_EQ(current.seen.size(), 3u) << "probe, probe, then the recorded event";
  EXPECT_EQ(current.seen[1].sequence, 0u);
  EXPECT_EQ(current.seen[1].category, 5);
  EXPECT_EQ(current.seen[1].sdk_version, 0u) << "a probe is not a recorded event";
  EXPECT_EQ(log.latest().sequence, 1u) << "probes consume no sequence numbers";
  EXPECT_EQ(log.latest().operation, 24);
}

TEST_F(SdkErrorsTest, RenewalTrackingProbe) {
  SdkErrors log(2, 1, &answer);
  current.probe_answer = 0;
  EXPECT_TRUE(log.supports_renewal_tracking());
  const DovrinRtcSdkEvent& probe = current.seen.back();
  EXPECT_EQ(probe.category, 3);
  EXPECT_EQ(probe.operation, 11);
  EXPECT_EQ(probe.raw_code, 3);
  EXPECT_EQ(probe.context_flags, 12);
  EXPECT_EQ(probe.request_id, 1u);
  EXPECT_EQ(probe.sequence, 0u);
  current.probe_answer = 3;
  EXPECT_FALSE(log.supports_renewal_tracking());
  EXPECT_EQ(log.latest().sequence, 0u);
}

}  // namespace
