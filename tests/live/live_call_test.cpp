// End-to-end tests of the library over the stand-in's live mode: engine
// threads deliver capture, playback, remote audio and notifications on a
// lock-step virtual clock that the library's steady clock follows, while the
// test plays the host: tick, send, poll and play once per 10 ms.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include <chrono>
#include <memory>
#include <thread>

#include "live/signal_measure.h"
#include "support/live_runtime_fixture.h"
#include "support/peer_fixture.h"

namespace dovrin::testing {
namespace {

constexpr const char* kRoom = "live-room";

class LiveCall : public LiveRuntimeTest {
 protected:
  void SetUp() override {
    TestPolicy::instance().reset();
    start(20261210);
    if (HasFatalFailure()) return;
    service = loopback::services().back();
  }

  void TearDown() override {
    LiveRuntimeTest::TearDown();
    TestPolicy::instance().reset();
  }

  // Joins `slot` towards a bot with user id `remote` and waits until the slot
  // is connected and subscribed.
  uint64_t join_bot(uint32_t slot, uint32_t remote, loopback::Source source = {},
                    bool v2 = false) {
    loopback::BotOptions bot;
    bot.channel = kRoom;
    bot.user_id = std::to_string(remote);
    bot.source = std::move(source);
    const uint64_t id = loopback::add_bot(bot);
    const int32_t joined = v2 ? dovrin_rtc_desktop_join_v2(rtc, slot, kRoom, "token-1", 42, remote)
                              : dovrin_rtc_desktop_join(rtc, slot, kRoom, "token-1", 42, remote);
    EXPECT_EQ(joined, 0);
    for (int i = 0; i < 100 && dovrin_rtc_desktop_status(rtc, slot) != 1; ++i) step();
    EXPECT_EQ(dovrin_rtc_desktop_status(rtc, slot), 1);
    step(3);  // the user-joined notice, then the tick's subscription
    return id;
  }

  uint64_t newest_connection() { return loopback::objects(loopback::Kind::connection).back().id; }

  // Sends `signal` (blocks of rate/100) on `slot`, one block per period.
  void send_all(uint32_t slot, const std::vector<int16_t>& signal, int rate) {
    const size_t n = static_cast<size_t>(rate / 100);
    for (size_t at = 0; at + n <= signal.size(); at += n) {
      EXPECT_EQ(dovrin_rtc_desktop_send(rtc, slot, signal.data() + at, static_cast<uint32_t>(n),
                                        static_cast<uint32_t>(rate), static_cast<int64_t>(sent_ms)),
                0);
      sent_ms += 10;
      step();
    }
  }

  uint64_t service = 0;
  int64_t sent_ms = 0;
};

TEST_F(LiveCall, PcmAt48kHzArrivesBitExact) {
  const uint64_t bot = join_bot(0, 7);
  std::vector<int16_t> signal(48000 * 2);
  uint32_t lcg = 12345;
  for (auto& s : signal) {
    lcg = lcg * 1664525u + 1013904223u;
    s = static_cast<int16_t>(lcg >> 16);
  }
  send_all(0, signal, 48000);
  step(10);
  const auto heard = loopback::bot_recording(bot);
  const auto start = std::search(heard.begin(), heard.end(), signal.begin(), signal.begin() + 480);
  ASSERT_NE(start, heard.end()) << "the first block never arrived";
  ASSERT_GE(static_cast<size_t>(heard.end() - start), signal.size());
  EXPECT_TRUE(std::equal(signal.begin(), signal.end(), start));
  EXPECT_EQ(loopback::bot_stats(bot).out_of_order, 0u);
}

struct RateCase {
  int rate;
};
class LivePcmRates : public LiveCall, public ::testing::WithParamInterface<RateCase> {};

TEST_P(LivePcmRates, ResampledPcmKeepsTheSignal) {
  const int rate = GetParam().rate;
  const uint64_t bot = join_bot(0, 7);
  send_all(0, tones(rate, static_cast<size_t>(rate) * 2), rate);
  step(10);
  const auto heard = loopback::bot_recording(bot);
  const auto reference = tones(48000, 96000);
  // One second from the middle, away from the converter's start.
  const std::vector<int16_t> middle(reference.begin() + 24000, reference.begin() + 72000);
  const size_t onset = first_sound(heard);
  ASSERT_LT(onset, heard.size());
  const Comparison c = compare(middle, heard, onset + 24000 - 300, onset + 24000 + 300);
  std::printf("LIVE_FIGURE pcm_rate=%d correlation=%.6f snr_db=%.1f\n", rate, c.correlation, c.snr_db);
  EXPECT_GE(c.correlation, 0.999);
  EXPECT_GE(c.snr_db, 60.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, LivePcmRates, ::testing::Values(RateCase{16000}, RateCase{24000}),
                         [](const auto& p) { return std::to_string(p.param.rate); });

struct OpusCase {
  const char* name;
  double loss;
  double threshold;
};
class LiveOpus : public LiveCall, public ::testing::WithParamInterface<OpusCase> {};

TEST_P(LiveOpus, DecodedSpeechFollowsWhatWasSent) {
  const OpusCase& param = GetParam();
  ASSERT_EQ(dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1), 0);
  loopback::Impairment impairment;
  impairment.loss = param.loss;
  loopback::set_impairment(kRoom, "42", "", impairment);
  const uint64_t bot = join_bot(0, 7);
  const auto signal = speech_like(48000, 48000 * 3);
  send_all(0, signal, 48000);
  step(10);
  const auto heard = loopback::bot_recording(bot);
  const std::vector<int16_t> middle(signal.begin() + 24000, signal.begin() + 120000);
  const size_t onset = first_sound(heard);
  ASSERT_LT(onset, heard.size());
  const Comparison c = compare(middle, heard, onset + 24000 - 200, onset + 24000 + 1200);
  const auto stats = loopback::bot_stats(bot);
  std::printf("LIVE_FIGURE opus_loss=%.2f correlation=%.4f snr_db=%.1f concealed=%llu\n", param.loss,
              c.correlation, c.snr_db, static_cast<unsigned long long>(stats.blocks_concealed));
  EXPECT_GE(c.correlation, param.threshold);
  if (param.loss > 0) {
    EXPECT_GT(stats.blocks_concealed, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Loss, LiveOpus,
                         ::testing::Values(OpusCase{"clean", 0.0, 0.95}, OpusCase{"loss5", 0.05, 0.90}),
                         [](const auto& p) { return std::string(p.param.name); });

// A bot whose every sample carries its block number.
void stamp_blocks(void* counter, int16_t* out, size_t count, uint64_t) {
  auto* n = static_cast<std::atomic<int16_t>*>(counter);
  const int16_t value = n->fetch_add(1, std::memory_order_relaxed);
  std::fill(out, out + count, value);
}

TEST_F(LiveCall, RemoteBlocksArriveInOrderWithoutGaps) {
  std::atomic<int16_t> counter{1};
  join_bot(0, 7, loopback::Source::call(&stamp_blocks, &counter));
  DovrinRtcAudioBlock block;
  uint32_t last_rtp = 0;
  int16_t last_stamp = 0;
  int delivered = 0;
  for (int i = 0; i < 200; ++i) {
    step();
    while (dovrin_rtc_desktop_poll(rtc, 1, &block) == 1) {
      if (delivered > 0) {
        EXPECT_EQ(block.rtp_timestamp, last_rtp + 480) << "at block " << delivered;
        EXPECT_EQ(block.samples[0], last_stamp + 1);
      }
      EXPECT_EQ(block.samples[0], block.samples[479]);
      last_rtp = block.rtp_timestamp;
      last_stamp = block.samples[0];
      ++delivered;
    }
  }
  EXPECT_GE(delivered, 190);
}

struct GapCase {
  const char* name;
  loopback::Impairment impairment;
  bool lossless;  // the playout buffer covers the jitter and nothing is dropped
};
class LiveGaps : public LiveCall, public ::testing::WithParamInterface<GapCase> {};

TEST_P(LiveGaps, RemoteGapsAreTheBlocksThePathLost) {
  loopback::set_impairment(kRoom, "7", "42", GetParam().impairment);
  std::atomic<int16_t> counter{1};
  join_bot(0, 7, loopback::Source::call(&stamp_blocks, &counter));
  DovrinRtcAudioBlock block;
  uint32_t last_rtp = 0;
  int16_t last_stamp = 0;
  uint64_t delivered = 0, missing = 0;
  for (int i = 0; i < 400; ++i) {
    step();
    while (dovrin_rtc_desktop_poll(rtc, 1, &block) == 1) {
      if (delivered > 0) {
        ASSERT_GT(block.rtp_timestamp, last_rtp) << "out of order at block " << delivered;
        ASSERT_EQ((block.rtp_timestamp - last_rtp) % 480, 0u);
        const uint32_t step_blocks = (block.rtp_timestamp - last_rtp) / 480;
        EXPECT_EQ(block.samples[0] - last_stamp, static_cast<int>(step_blocks));
        missing += step_blocks - 1;
      }
      last_rtp = block.rtp_timestamp;
      last_stamp = block.samples[0];
      ++delivered;
    }
  }
  const loopback::PathStats path = loopback::path_stats(kRoom, "7", "42");
  ASSERT_TRUE(path.exists);
  std::printf("LIVE_FIGURE gaps=%s delivered=%llu missing=%llu dropped=%llu late=%llu\n", GetParam().name,
              static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(missing),
              static_cast<unsigned long long>(path.dropped), static_cast<unsigned long long>(path.late));
  // Losses after the last delivered block show no gap yet: at most one run
  // up to a re-anchoring, plus what is due in the same tick.
  EXPECT_LE(missing, path.lost);
  EXPECT_LE(path.lost, missing + loopback::kResyncAfter + 3);
  EXPECT_EQ(delivered, path.played);
  if (GetParam().lossless) {
    EXPECT_EQ(missing, 0u);
  } else {
    EXPECT_GT(missing, 0u);
  }
}

loopback::Impairment impaired(double loss, double burst_start, uint32_t burst_ms, uint32_t jitter,
                              uint32_t buffer) {
  loopback::Impairment i;
  i.loss = loss;
  i.burst_start = burst_start;
  i.burst_length_ms = burst_ms;
  i.jitter_ms = jitter;
  i.jitter_buffer_ms = buffer;
  return i;
}

INSTANTIATE_TEST_SUITE_P(
    Impairments, LiveGaps,
    ::testing::Values(GapCase{"random", impaired(0.1, 0, 0, 0, 0), false},
                      GapCase{"bursts", impaired(0, 0.03, 80, 0, 0), false},
                      GapCase{"buffered_jitter", impaired(0, 0, 0, 30, 40), true},
                      GapCase{"unbuffered_jitter", impaired(0, 0, 0, 30, 0), false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(LiveCall, CaptureComesOutInOrderAndNeverFromAnOldGeneration) {
  std::atomic<int16_t> counter{1};
  loopback::set_microphone(service, loopback::Source::call(&stamp_blocks, &counter));
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 1), 0);
  DovrinRtcAudioBlock block;
  uint64_t gaps = 0;
  int16_t last = 0;
  int taken = 0;
  for (int i = 0; i < 100; ++i) {
    step();
    if (i == 50) {
      step(3);  // blocks of the first generation wait in the ring...
      ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 1), 0);
      last = counter.load() - 1;  // ...and are never delivered after the switch
    }
    while (dovrin_rtc_desktop_capture_poll(rtc, &block, &gaps) == 1) {
      EXPECT_GT(block.samples[0], last) << "a block of an old generation, or out of order";
      if (taken > 0 && i != 50) {
        EXPECT_EQ(block.samples[0], last + 1);
      }
      last = block.samples[0];
      ++taken;
      EXPECT_EQ(gaps, 0u);
    }
  }
  EXPECT_GE(taken, 95);
}

TEST_F(LiveCall, WhatTheHostPlaysComesOutOfTheSpeaker) {
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  loopback::take_speaker(service);
  std::vector<int16_t> played;
  for (int i = 0; i < 100; ++i) {
    std::vector<int16_t> block(960);
    for (size_t k = 0; k < block.size(); ++k) block[k] = static_cast<int16_t>(i * 10 + (k % 7) + 1);
    ASSERT_EQ(dovrin_rtc_desktop_play(rtc, block.data(), 480), 0);
    played.insert(played.end(), block.begin(), block.end());
    step();
  }
  const auto speaker = loopback::take_speaker(service);
  const auto start = std::search(speaker.begin(), speaker.end(), played.begin(), played.begin() + 960);
  ASSERT_NE(start, speaker.end());
  const size_t available = static_cast<size_t>(speaker.end() - start);
  ASSERT_GE(available, played.size() - 960 * 3);
  EXPECT_TRUE(std::equal(start, speaker.end(), played.begin()));
}

int render_ramp(void* context, int16_t* samples, size_t frames) {
  auto* n = static_cast<int16_t*>(context);
  for (size_t k = 0; k < frames * 2; ++k) samples[k] = *n;
  ++*n;
  return 0;
}

TEST_F(LiveCall, WhatTheRenderCallbackRendersComesOutOfTheSpeaker) {
  dovrin_rtc_desktop_destroy(rtc);
  int16_t next = 1;
  ASSERT_EQ(dovrin_rtc_desktop_create(sdk_path(), kAppId, &render_ramp, &next, &rtc), 0);
  service = loopback::services().back();
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  step(50);
  const auto speaker = loopback::take_speaker(service);
  ASSERT_GE(speaker.size(), 960u * 45);
  // Whole blocks, each one value more than the last.
  const size_t first = first_sound(speaker);
  ASSERT_EQ(first % 960, 0u);
  for (size_t at = first; at + 960 <= speaker.size(); at += 960) {
    EXPECT_EQ(speaker[at], speaker[at + 959]);
    if (at > first) {
      EXPECT_EQ(speaker[at], speaker[at - 960] + 1);
    }
  }
}

TEST_F(LiveCall, LinkLossRecoversWhileAudioFlows) {
  std::atomic<int16_t> counter{1};
  join_bot(0, 7, loopback::Source::call(&stamp_blocks, &counter));
  const uint64_t connection = newest_connection();
  const std::vector<int16_t> pcm(480, 100);
  loopback::link_loss(connection, 500);
  step(2);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), 2);
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), 1);
  DovrinRtcAudioBlock block;
  step(60);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), 1);
  while (dovrin_rtc_desktop_poll(rtc, 1, &block) == 1) {
  }
  step(10);
  int after = 0;
  while (dovrin_rtc_desktop_poll(rtc, 1, &block) == 1) ++after;
  EXPECT_GE(after, 8) << "remote audio did not resume";
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), 0);
}

TEST_F(LiveCall, LinkLossPastTheWindowFailsTheSlotByPolicy) {
  ASSERT_EQ(dovrin_rtc_desktop_error_policy(rtc, &TestPolicy::callback), 0);
  ASSERT_EQ(dovrin_rtc_desktop_recovery_config(rtc, 1000), 0);
  TestPolicy::instance().action = 3;
  join_bot(0, 7, {}, true);
  loopback::link_loss(newest_connection(), 3000, 500);
  step(150);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), -2);
  DovrinRtcSdkEvent fatal{};
  ASSERT_EQ(dovrin_rtc_desktop_error(rtc, 0, 1, &fatal), 1);
  EXPECT_EQ(fatal.operation, 15);
  EXPECT_EQ(fatal.action, 3);
}

TEST_F(LiveCall, RemoteUserLeavingAndReturningStartsANewPresence) {
  std::atomic<int16_t> counter{1};
  const uint64_t bot = join_bot(0, 7, loopback::Source::call(&stamp_blocks, &counter));
  loopback::bot_leave(bot, 1);
  step(20);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), 2) << "a dropped remote user holds the link in recovery";
  DovrinRtcAudioBlock block;
  while (dovrin_rtc_desktop_poll(rtc, 1, &block) == 1) {
  }
  loopback::bot_join(bot);
  step(10);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), 1);
  int after = 0;
  while (dovrin_rtc_desktop_poll(rtc, 1, &block) == 1) ++after;
  EXPECT_GE(after, 4) << "the returning user was not subscribed again";
  const auto subscriptions =
      loopback::local_user_state(loopback::connection_state(newest_connection())->local_user)->subscriptions;
  EXPECT_GE(subscriptions.size(), 2u);
}

TEST_F(LiveCall, RenewalResultsLateAndReorderedAreMatchedToTheirRequests) {
  TestPolicy::instance().probe_answer = 0;  // tracking
  ASSERT_EQ(dovrin_rtc_desktop_error_policy(rtc, &TestPolicy::callback), 0);
  join_bot(0, 7, {}, true);
  const uint64_t connection = newest_connection();
  loopback::token_will_expire(connection);
  step(2);
  loopback::script_renewals(connection, {{300, 0}, {30, 0}});
  ASSERT_EQ(dovrin_rtc_desktop_renew(rtc, 0, "token-A"), 0);
  ASSERT_EQ(dovrin_rtc_desktop_renew(rtc, 0, "token-B"), 0);
  step(40);
  std::vector<DovrinRtcSdkEvent> results;
  for (const auto& e : TestPolicy::instance().events()) {
    if (e.operation == 11) results.push_back(e);
  }
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].request_id, 2u);  // B's result first
  EXPECT_EQ(results[0].context_flags, 4);
  EXPECT_EQ(results[1].request_id, 1u);  // then A's, superseded
  EXPECT_EQ(results[1].context_flags, 12);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), 1);
  loopback::token_expired(connection);
  step(2);
  EXPECT_EQ(TestPolicy::instance().events().back().operation, 10);
}

TEST_F(LiveCall, JoinFailureArrivesAsAConnectionFailure) {
  loopback::fail_joins(kRoom, 1);
  ASSERT_EQ(dovrin_rtc_desktop_join(rtc, 0, kRoom, "token-1", 42, 7), 0);
  step(10);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), -2);
}

TEST_F(LiveCall, ManualDrivingIsRefusedWhileLive) {
  const uint64_t track = loopback::first_track(loopback::TrackSource::none);
  EXPECT_THROW(loopback::push_pcm(track, capture_frame(1)), std::logic_error);
  EXPECT_THROW(loopback::notify(newest_connection(), loopback::Notification{}), std::logic_error);
}

TEST_F(LiveCall, TwoRuntimesHearEachOtherAndGoWhileAudioFlows) {
  DovrinRtcRuntime* other = nullptr;
  ASSERT_EQ(dovrin_rtc_desktop_create(sdk_path(), kAppId, nullptr, nullptr, &other), 0);
  ASSERT_EQ(dovrin_rtc_desktop_join(rtc, 0, kRoom, "t", 1, 2), 0);
  ASSERT_EQ(dovrin_rtc_desktop_join(other, 0, kRoom, "t", 2, 1), 0);
  const std::vector<int16_t> pcm(480, 1234);
  DovrinRtcAudioBlock block;
  int heard_by_a = 0, heard_by_b = 0;
  for (int i = 0; i < 100; ++i) {
    dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, i * 10);
    dovrin_rtc_desktop_send(other, 0, pcm.data(), 480, 48000, i * 10);
    ASSERT_EQ(dovrin_rtc_desktop_tick(other), 0);
    step();
    while (dovrin_rtc_desktop_poll(rtc, 1, &block) == 1) heard_by_a += block.samples[0] == 1234;
    while (dovrin_rtc_desktop_poll(other, 1, &block) == 1) heard_by_b += block.samples[0] == 1234;
  }
  EXPECT_GE(heard_by_a, 80);
  EXPECT_GE(heard_by_b, 80);
  // Destroyed while the engine still runs its threads for the other runtime.
  dovrin_rtc_desktop_destroy(other);
  step(20);
}

// The real-time clock: the engine keeps its own cadence while the host only
// polls. Nothing here measures time; it waits, with a generous limit, for
// audio to have flowed both ways.
TEST_F(LiveCall, RealTimeEngineCarriesAudioBothWays) {
  dovrin_rtc_desktop_destroy(rtc);
  rtc = nullptr;
  loopback::stop_live();
  loopback::LiveOptions options;
  options.clock = loopback::ClockKind::real_time;
  loopback::start_live(options);
  ASSERT_EQ(dovrin_rtc_desktop_create(sdk_path(), kAppId, nullptr, nullptr, &rtc), 0);
  loopback::BotOptions bot;
  bot.channel = kRoom;
  bot.user_id = "7";
  bot.source = loopback::Source::tone(500);
  const uint64_t id = loopback::add_bot(bot);
  ASSERT_EQ(dovrin_rtc_desktop_join(rtc, 0, kRoom, "t", 42, 7), 0);
  const std::vector<int16_t> pcm(480, 300);
  DovrinRtcAudioBlock block;
  int heard = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((heard < 20 || loopback::bot_stats(id).blocks_heard < 20) &&
         std::chrono::steady_clock::now() < limit) {
    dovrin_rtc_desktop_tick(rtc);
    dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0);
    while (dovrin_rtc_desktop_poll(rtc, 1, &block) == 1) ++heard;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(heard, 20);
  EXPECT_GE(loopback::bot_stats(id).blocks_heard, 20u);
}

}  // namespace
}  // namespace dovrin::testing
