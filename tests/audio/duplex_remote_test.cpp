#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "audio/duplex_observer.h"
#include "audio_test_support.h"

namespace dovrin::rtc_probe {
namespace {

using testing::peer_observer;
using testing::seq_of;
using testing::stamp;
using testing::TestFrame;

enum class Outcome { taken, ignored, wrong_uid, no_channel, other_channel };

struct RemoteCase {
  const char* name;
  RemoteChannelBinding binding;
  bool confirmed;
  bool remote_on;
  uint32_t filter;
  const char* channel;   // may be null
  const char* uid_text;  // null: the numeric callback with uid
  uint32_t uid;
  Outcome outcome;
};

constexpr auto kByName = RemoteChannelBinding::by_name;
constexpr auto kByConnection = RemoteChannelBinding::by_connection;

class DuplexObserverRemoteFilterTest : public ::testing::TestWithParam<RemoteCase> {};

TEST_P(DuplexObserverRemoteFilterTest, CountsWhyAFrameIsNotTaken) {
  const RemoteCase& c = GetParam();
  auto observer = peer_observer(RemoteOverflowPolicy::drop_oldest, c.binding, c.filter);
  ASSERT_TRUE(observer->authorize(2, false, c.remote_on));
  if (c.confirmed) observer->confirm_remote_connection();
  TestFrame frame = TestFrame::mono();
  if (c.uid_text != nullptr) {
    EXPECT_TRUE(observer->onPlaybackAudioFrameBeforeMixing(c.channel, c.uid_text, frame.frame));
  } else {
    EXPECT_TRUE(observer->onPlaybackAudioFrameBeforeMixing(c.channel, c.uid, frame.frame));
  }

  const RemoteCounters counters = observer->remote_counters();
  const DuplexStats stats = observer->stats();
  EXPECT_EQ(stats.remote_callbacks, 1u);
  EXPECT_EQ(counters.ignored, c.outcome == Outcome::ignored ? 1u : 0u);
  EXPECT_EQ(counters.wrong_uid, c.outcome == Outcome::wrong_uid ? 1u : 0u);
  EXPECT_EQ(counters.no_channel, c.outcome == Outcome::no_channel ? 1u : 0u);
  EXPECT_EQ(counters.other_channel, c.outcome == Outcome::other_channel ? 1u : 0u);
  EXPECT_EQ(stats.remote_frames, c.outcome == Outcome::taken ? 480u : 0u);
  EXPECT_EQ(stats.faults, 0u);
  Block block;
  EXPECT_EQ(observer->take_remote(block), c.outcome == Outcome::taken);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DuplexObserverRemoteFilterTest,
    ::testing::Values(
        RemoteCase{"numeric", kByName, false, true, 7, "room", nullptr, 7, Outcome::taken},
        RemoteCase{"text", kByName, false, true, 7, "room", "7", 0, Outcome::taken},
        RemoteCase{"remoteOff", kByName, false, false, 7, "room", nullptr, 7, Outcome::ignored},
        RemoteCase{"wrongUid", kByName, false, true, 7, "room", nullptr, 8, Outcome::wrong_uid},
        RemoteCase{"wrongUidText", kByName, false, true, 7, "room", "07", 0, Outcome::wrong_uid},
        RemoteCase{"filterZero", kByName, false, true, 0, "room", nullptr, 0, Outcome::wrong_uid},
        RemoteCase{"otherChannel", kByName, false, true, 7, "hall", nullptr, 7,
                   Outcome::other_channel},
        RemoteCase{"longerChannel", kByName, false, true, 7, "room2", nullptr, 7,
                   Outcome::other_channel},
        RemoteCase{"nullChannel", kByName, false, true, 7, nullptr, nullptr, 7,
                   Outcome::no_channel},
        RemoteCase{"emptyChannel", kByName, false, true, 7, "", "7", 0, Outcome::no_channel},
        RemoteCase{"nullChannelTextByName", kByName, false, true, 7, nullptr, "7", 0,
                   Outcome::no_channel},
        RemoteCase{"unconfirmed", kByConnection, false, true, 7, "room", nullptr, 7,
                   Outcome::ignored},
        RemoteCase{"confirmedNullChannelText", kByConnection, true, true, 7, nullptr, "7", 0,
                   Outcome::taken},
        RemoteCase{"confirmedNullChannelNumeric", kByConnection, true, true, 7, nullptr, nullptr,
                   7, Outcome::no_channel},
        RemoteCase{"confirmedNamedChannel", kByConnection, true, true, 7, "room", nullptr, 7,
                   Outcome::taken},
        RemoteCase{"confirmedOtherChannelText", kByConnection, true, true, 7, "hall", "7", 0,
                   Outcome::other_channel}),
    testing::CaseName());

TEST(DuplexObserverRemoteTest, BlockCarriesUserAndTiming) {
  auto observer = peer_observer();
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame frame = TestFrame::mono();
  frame.stamp(12);
  frame.frame.rtpTimestamp = 960;
  frame.frame.presentationMs = 40;
  frame.frame.renderTimeMs = 41;
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  Block block;
  ASSERT_TRUE(observer->take_remote(block));
  EXPECT_EQ(seq_of(block), 12u);
  EXPECT_EQ(block.uid, 7u);
  EXPECT_EQ(block.epoch, 2u);
  EXPECT_EQ(block.rtp_timestamp, 960u);
  EXPECT_EQ(block.presentation_ms, 40);
  EXPECT_EQ(block.render_time_ms, 41);
  EXPECT_EQ(frame.storage[0], static_cast<int16_t>(12)) << "remote frames are not zeroed";
}

TEST(DuplexObserverRemoteTest, NarrowObserverCountsItsOwnFrameSize) {
  auto observer = peer_observer(RemoteOverflowPolicy::fail, kByName, 7, 16000);
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame frame(1, 16000, 160);
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  EXPECT_EQ(observer->stats().remote_frames, 160u);
  Block block;
  ASSERT_TRUE(observer->take_remote(block));
  EXPECT_EQ(block.channels, 1u);
}

struct FormatCase {
  const char* name;
  uint32_t observer_rate;
  int channels, rate, samples;
  uint64_t detail;
};

class DuplexObserverRemoteFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(DuplexObserverRemoteFormatTest, StoresTheFormatDetailAndFails) {
  const FormatCase& c = GetParam();
  auto observer = peer_observer(RemoteOverflowPolicy::drop_oldest, kByName, 7, c.observer_rate);
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame frame(c.channels, c.rate, c.samples);
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  EXPECT_EQ(observer->remote_failure_detail(), c.detail);
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_EQ(observer->epoch(), 0u);
  Block block;
  EXPECT_FALSE(observer->take_remote(block));
}

constexpr uint64_t detail(uint64_t rate, uint64_t channels, uint64_t samples) {
  return (uint64_t{2} << 56) | (rate << 24) | (channels << 16) | samples;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, DuplexObserverRemoteFormatTest,
    ::testing::Values(FormatCase{"rate44100", 48000, 1, 44100, 441, detail(44100, 1, 441)},
                      FormatCase{"stereo", 48000, 2, 48000, 480, detail(48000, 2, 480)},
                      FormatCase{"wideOnNarrow", 16000, 1, 48000, 480, detail(48000, 1, 480)},
                      // Hostile fields are cut to their width and never reach the tag.
                      FormatCase{"negativeFields", 48000, -1, 48000, -1,
                                 detail(48000, 0xFF, 0xFFFF)}),
    testing::CaseName());

TEST(DuplexObserverRemoteTest, DropOldestKeepsTheNewestTwenty) {
  auto observer = peer_observer(RemoteOverflowPolicy::drop_oldest);
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame frame = TestFrame::mono();
  for (uint32_t seq = 0; seq < 21; ++seq) {
    frame.stamp(seq);
    observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  }
  EXPECT_EQ(observer->remote_dropped_blocks(), 1u);
  EXPECT_EQ(observer->stats().faults, 0u);
  EXPECT_EQ(observer->stats().remote_frames, 21u * 480u);
  Block block;
  for (uint32_t expected = 1; expected <= 20; ++expected) {
    ASSERT_TRUE(observer->take_remote(block));
    EXPECT_EQ(seq_of(block), expected);
  }
  EXPECT_FALSE(observer->take_remote(block));
}

TEST(DuplexObserverRemoteTest, FailPolicyFaultsOnOverflow) {
  auto observer = peer_observer(RemoteOverflowPolicy::fail);
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame frame = TestFrame::mono();
  for (int i = 0; i < 20; ++i) observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  EXPECT_EQ(observer->stats().faults, 0u);
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  EXPECT_EQ(observer->remote_failure_detail(), DuplexObserver::kDetailRemoteOverflow);
  EXPECT_EQ(observer->stats().faults, 1u);
  EXPECT_EQ(observer->remote_dropped_blocks(), 0u);
}

TEST(DuplexObserverRemoteTest, BusyRingDropsOrFailsByPolicy) {
  TestFrame frame = TestFrame::mono();
  auto dropping = peer_observer(RemoteOverflowPolicy::drop_oldest);
  ASSERT_TRUE(dropping->authorize(2, false, true));
  dropping->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  auto& busy = DuplexObserverProbe::remote_busy(*dropping);
  busy.test_and_set();
  dropping->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);  // a second producer
  Block block;
  EXPECT_TRUE(dropping->take_remote(block)) << "a busy producer does not hold the consumer back";
  busy.clear();
  EXPECT_EQ(dropping->remote_dropped_blocks(), 1u);
  EXPECT_EQ(dropping->stats().faults, 0u);
  EXPECT_FALSE(dropping->take_remote(block));

  auto failing = peer_observer(RemoteOverflowPolicy::fail);
  ASSERT_TRUE(failing->authorize(2, false, true));
  DuplexObserverProbe::remote_busy(*failing).test_and_set();
  failing->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  EXPECT_EQ(failing->remote_failure_detail(), DuplexObserver::kDetailRemoteBusy);
  EXPECT_EQ(failing->stats().faults, 1u);
}

// A host that polls at the instant a block arrives must not cost that block:
// only a full ring's pop excludes the poll.
TEST(DuplexObserverRemoteTest, APollInProgressDropsNothingUntilTheRingIsFull) {
  TestFrame frame = TestFrame::mono();
  auto observer = peer_observer(RemoteOverflowPolicy::drop_oldest);
  ASSERT_TRUE(observer->authorize(2, false, true));
  auto& polling = DuplexObserverProbe::remote_pop_busy(*observer);
  polling.test_and_set();
  Block block;
  EXPECT_FALSE(observer->take_remote(block)) << "a second consumer is refused";
  for (int i = 0; i < 20; ++i) observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  EXPECT_EQ(observer->remote_dropped_blocks(), 0u);
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);  // full, and the poll holds it
  EXPECT_EQ(observer->remote_dropped_blocks(), 1u);
  polling.clear();
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);  // full: the oldest goes
  EXPECT_EQ(observer->remote_dropped_blocks(), 2u);
  int taken = 0;
  while (observer->take_remote(block)) ++taken;
  EXPECT_EQ(taken, 20);
  EXPECT_EQ(observer->stats().faults, 0u);
}

TEST(DuplexObserverRemoteTest, ReauthorisationMakesQueuedRemoteBlocksStale) {
  auto observer = peer_observer();
  ASSERT_TRUE(observer->authorize(2, false, true));
  TestFrame frame = TestFrame::mono();
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  ASSERT_TRUE(observer->authorize(3, false, true));
  observer->onPlaybackAudioFrameBeforeMixing("room", 7u, frame.frame);
  Block block;
  ASSERT_TRUE(observer->take_remote(block));
  EXPECT_EQ(block.epoch, 3u);
  EXPECT_EQ(observer->stats().stale_blocks, 2u);
}

TEST(DuplexObserverUserIdTest, ParsesDecimalTextStrictly) {
  struct Case {
    const char* text;
    uint32_t uid;
  } const cases[] = {
      {nullptr, 0},          {"", 0},
      {"7", 7},              {"042", 0},
      {"0", 0},              {"4294967295", 4294967295u},
      {"4294967296", 0},     {"9999999999", 0},
      {"12345678901", 0},    {"1000000000", 1000000000u},
      {"12a", 0},            {"-5", 0},
      {" 5", 0},             {"5 ", 0},
      {"123456789x", 0},     {"1234567890x", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DuplexObserver::parse_user_id(c.text), c.uid) << (c.text ? c.text : "(null)");
  }
}

TEST(DuplexObserverChannelTest, ComparesWholeNames) {
  const std::string longest(64, 'x');
  const std::string longer = longest + "x";
  DuplexObserver named("room", 7, nullptr, nullptr, kByName, false, RemoteOverflowPolicy::fail,
                       48000, 1);
  DuplexObserver empty("", 0, nullptr, nullptr, kByName, false, RemoteOverflowPolicy::fail, 48000,
                       1);
  DuplexObserver full(longest.c_str(), 0, nullptr, nullptr, kByName, false,
                      RemoteOverflowPolicy::fail, 48000, 1);
  struct Case {
    const DuplexObserver* observer;
    const char* text;
    bool same;
  } const cases[] = {
      {&named, "room", true},  {&named, "roo", false},          {&named, "rooms", false},
      {&named, "Room", false}, {&named, nullptr, false},        {&named, "", false},
      {&empty, "", true},      {&empty, "a", false},            {&full, longest.c_str(), true},
      {&full, "x", false},     {&full, longer.c_str(), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.observer->same_channel(c.text), c.same) << (c.text ? c.text : "(null)");
  }
}

}  // namespace
}  // namespace dovrin::rtc_probe
