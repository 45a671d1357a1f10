// One block published on many slots with one encoding: every slot answers
// what a send of its own would have answered, every Opus slot gets the one
// shared stream (late joiners included), and no call reaches the heap.
#include <gtest/gtest.h>
#include <opus.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "publish/opus_publisher.h"
#include "support/allocation_counter.h"
#include "support/manual_clock.h"
#include "support/peer_fixture.h"
#include "support/recording_sender.h"

namespace {

using dovrin::testing::allocations_during;
using dovrin::testing::ManualClock;
using dovrin::testing::PeerTest;
using dovrin::testing::RecordingSender;
using dovrin::testing::TestPolicy;
using dovrin::rtc_client::OpusPublisher;
using Samples = std::vector<int16_t>;

constexpr uint32_t kRemote = 7;

std::string channel_of(uint32_t slot) { return "room-" + std::to_string(slot); }
std::string local_of(uint32_t slot) { return std::to_string(1000 + slot); }

// Three tones under a slow swell, all below the 8 kHz the default encoder
// keeps: `blocks` 10 ms blocks at 48 kHz.
Samples tones(size_t blocks, double base_hz = 440.0) {
  Samples out(480 * blocks);
  for (size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    const double swell = 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 1.5 * t);
    const double v = std::sin(2 * std::numbers::pi * base_hz * t) +
                     0.6 * std::sin(2 * std::numbers::pi * 2.8 * base_hz * t) +
                     0.3 * std::sin(2 * std::numbers::pi * 6.1 * base_hz * t);
    out[i] = static_cast<int16_t>(std::lround(6000.0 * swell * v));
  }
  return out;
}

std::vector<uint8_t> from_hex(const std::string& text) {
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
  }
  return bytes;
}

// The best normalised correlation of `decoded` against `source` over the
// codec's delays (up to 20 ms at 48 kHz).
double correlation(const Samples& source, const Samples& decoded) {
  double best = -1.0;
  for (size_t lag = 0; lag <= 960; ++lag) {
    double xy = 0.0;
    double xx = 0.0;
    double yy = 0.0;
    for (size_t n = 0; n + lag < decoded.size() && n < source.size(); ++n) {
      const double x = source[n];
      const double y = decoded[n + lag];
      xy += x * y;
      xx += x * x;
      yy += y * y;
    }
    if (xx > 0.0 && yy > 0.0) best = std::max(best, xy / std::sqrt(xx * yy));
  }
  return best;
}

// 10 ms packets of a 16 kHz mono stream decoded to 48 kHz.
Samples decode(const std::vector<std::vector<uint8_t>>& packets) {
  int error = OPUS_OK;
  OpusDecoder* decoder = opus_decoder_create(48000, 1, &error);
  EXPECT_EQ(error, OPUS_OK);
  Samples out;
  std::array<int16_t, 480> frame{};
  for (const auto& packet : packets) {
    const int frames = opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()),
                                   frame.data(), 480, 0);
    EXPECT_EQ(frames, 480);
    out.insert(out.end(), frame.begin(), frame.begin() + std::max(frames, 0));
  }
  opus_decoder_destroy(decoder);
  return out;
}

// The packets one publisher of its own makes of `blocks`, sent one by one.
std::vector<std::vector<uint8_t>> reference_stream(const Samples& source, size_t first, size_t count,
                                                   int64_t first_timestamp) {
  OpusPublisher publisher;
  EXPECT_TRUE(publisher.initialize({}));
  RecordingSender sender;
  for (size_t b = first; b < first + count; ++b) {
    EXPECT_TRUE(publisher.send(&sender, source.data() + 480 * b, 480, 48000,
                               first_timestamp + 10 * static_cast<int64_t>(b - first)));
  }
  return sender.packets;
}

class SendMany : public PeerTest {
 protected:
  // Joins `slot` on its own channel; with `connect` the connection comes up
  // and the remote user arrives. Answers the connection's stand-in id.
  uint64_t open_slot(uint32_t slot, bool v2, bool connect = true) {
    const std::string channel = channel_of(slot);
    EXPECT_EQ(join(slot, v2, channel.c_str(), 1000 + slot, kRemote), 0) << slot;
    const uint64_t joined = newest_peer().connection;
    if (connect) {
      const std::string local = local_of(slot);
      loopback::notify(joined, connected_notice(channel.c_str(), local.c_str()));
      loopback::notify(joined, user_notice(loopback::Notice::user_joined, "7"));
    }
    return joined;
  }
  void notify(uint64_t target, uint32_t slot, loopback::Notice notice) {
    const std::string channel = channel_of(slot);
    const std::string local = local_of(slot);
    loopback::Notification n = connected_notice(channel.c_str(), local.c_str());
    n.notice = notice;
    loopback::notify(target, n);
  }

  int32_t send_many(const std::vector<uint32_t>& slots, const int16_t* pcm, int64_t timestamp,
                    std::vector<int32_t>& results) {
    results.assign(slots.size(), 99);
    return dovrin_rtc_desktop_send_many(rtc, slots.data(), static_cast<uint32_t>(slots.size()), pcm,
                                        480, 48000, timestamp, results.data());
  }
};

// ---------------------------------------------------------------------------
// Arguments and a failed runtime

TEST_F(SendMany, ArgumentErrorsLeaveTheResultsAlone) {
  open_slot(0, false);
  const Samples pcm(480, 100);
  const uint32_t two[] = {0, 1};
  struct Case {
    const char* name;
    bool null_handle = false, null_slots = false, null_pcm = false, null_results = false;
    std::vector<uint32_t> slots{0, 1};
    uint32_t samples = 480, rate = 48000;
    int64_t timestamp = 0;
  };
  const std::vector<Case> cases = {
      {"null handle", true},
      {"null slots", false, true},
      {"null pcm", false, false, true},
      {"null results", false, false, false, true},
      {"35 slots", false, false, false, false, std::vector<uint32_t>(35, 0)},
      {"slot 34", false, false, false, false, {0, 34}},
      {"duplicate", false, false, false, false, {1, 0, 1}},
      {"44.1 kHz", false, false, false, false, {0, 1}, 441, 44100},
      {"479 samples", false, false, false, false, {0, 1}, 479, 48000},
      {"negative timestamp", false, false, false, false, {0, 1}, 480, 48000, -1},
      {"timestamp past 32 bits", false, false, false, false, {0, 1}, 480, 48000, 4294967296},
  };
  for (const Case& c : cases) {
    std::vector<int32_t> results(std::max<size_t>(c.slots.size(), 2), 99);
    std::vector<uint32_t> slots = c.slots;
    if (slots.size() == 35) std::iota(slots.begin(), slots.end(), 0u);
    EXPECT_EQ(dovrin_rtc_desktop_send_many(c.null_handle ? nullptr : rtc,
                                           c.null_slots ? nullptr : slots.data(),
                                           static_cast<uint32_t>(slots.size()),
                                           c.null_pcm ? nullptr : pcm.data(), c.samples, c.rate,
                                           c.timestamp, c.null_results ? nullptr : results.data()),
              -1)
        << c.name;
    EXPECT_TRUE(std::all_of(results.begin(), results.end(), [](int32_t r) { return r == 99; }))
        << c.name;
  }
  std::vector<int32_t> results(2, 99);
  EXPECT_EQ(dovrin_rtc_desktop_send_many(rtc, two, 0, pcm.data(), 480, 48000, 0, results.data()), -1)
      << "no slots";
  EXPECT_EQ(results, (std::vector<int32_t>{99, 99}));
  EXPECT_EQ(dovrin_rtc_desktop_send_many(rtc, two, 2, pcm.data(), 480, 48000, 4294967295, results.data()), 0)
      << "the largest timestamp";
  EXPECT_EQ(results, (std::vector<int32_t>{0, -2}));
  EXPECT_EQ(dovrin_rtc_desktop_send_many(rtc, two, 2, pcm.data(), 160, 16000, 0, results.data()), 0);
  EXPECT_EQ(dovrin_rtc_desktop_send_many(rtc, two, 2, pcm.data(), 240, 24000, 0, results.data()), 0);
}

TEST_F(SendMany, LatchedRuntimeAnswersMinusTwoAfterTheArguments) {
  open_slot(0, false);
  const Samples pcm(480, 100);
  loopback::throw_from("pcm_sender.send");
  ASSERT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), -3);
  const uint32_t slots[] = {0, 1};
  int32_t results[2] = {99, 99};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_send_many(rtc, slots, 2, pcm.data(), 480, 48000, 10, results), -2);
  EXPECT_EQ(dovrin_rtc_desktop_send_many(rtc, slots, 2, pcm.data(), 480, 48000, 20, results), -2);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(results[0], 99);
  EXPECT_EQ(results[1], 99);
  EXPECT_EQ(dovrin_rtc_desktop_send_many(rtc, slots, 2, pcm.data(), 479, 48000, 30, results), -1)
      << "arguments are judged first";
  size_t lines = 0;
  for (size_t at = err.find("DOVRIN_RTC_NATIVE_FAULT"); at != std::string::npos;
       at = err.find("DOVRIN_RTC_NATIVE_FAULT", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1u) << "the fault line is printed once:\n" << err;
}

// ---------------------------------------------------------------------------
// Every state of a slot, against per-slot sends on an identical runtime.

enum class State { empty, connecting, connected, recovering, connection_failed, marked_failed };

struct StateCase {
  const char* name;
  bool opus;
  bool v2;          // joined under the policy
  uint32_t action;  // the policy's answer
  State state;      // of slot 0; slots 1 to 3 are connected, 4 is empty
  // The send of slot 0 in the first call fails this way, when an operation is named.
  const char* fault = nullptr;
  loopback::FaultKind kind = loopback::FaultKind::code;
  int32_t first = 0;   // slot 0's status in the first call
  int32_t second = 0;  // and in the second
};

std::ostream& operator<<(std::ostream& os, const StateCase& c) { return os << c.name; }

// What a run leaves behind, to be compared between the two exports.
struct Observed {
  std::vector<std::vector<int32_t>> statuses;  // per call, per slot in serving order
  std::vector<std::string> journal;            // SDK calls, without object ids or packet bytes
  std::string lines;                           // standard error
  std::vector<std::vector<uint8_t>> records;   // latest and first fatal event per slot
  std::vector<std::vector<uint8_t>> judged;    // what the policy was asked, in order
  std::vector<int32_t> link;                   // status per slot after the calls
  int32_t tick = 0;
};

std::vector<uint8_t> bytes_of(const DovrinRtcSdkEvent& e) {
  std::vector<uint8_t> out(sizeof e);
  std::memcpy(out.data(), &e, sizeof e);
  return out;
}

class SendManyStates : public SendMany, public ::testing::WithParamInterface<StateCase> {
 protected:
  static constexpr uint32_t kSlots = 5;
  const std::vector<uint32_t> order{1, 3, 0, 2, 4};
  static constexpr int kCalls = 3;

  Observed run(bool many) {
    const StateCase& c = GetParam();
    ManualClock clock;
    Observed seen;
    ::testing::internal::CaptureStderr();
    if (c.v2) install_policy();
    policy().action = c.action;
    if (c.opus) {
      EXPECT_EQ(dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1), 0);
    }
    for (uint32_t slot = 1; slot <= 3; ++slot) open_slot(slot, c.v2);
    if (c.state != State::empty) {
      const uint64_t slot0 = open_slot(0, c.v2, c.state != State::connecting);
      if (c.state == State::recovering) notify(slot0, 0, loopback::Notice::connection_lost);
      if (c.state == State::connection_failed) notify(slot0, 0, loopback::Notice::connection_failure);
      if (c.state == State::marked_failed) {
        loopback::fail_with("connection.renew_token", 5);
        EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 0, "token-2"), -3);
      }
    }
    if (c.fault != nullptr) loopback::set_fault(c.fault, {c.kind, 8, 1, /*after=*/2});
    loopback::clear_journal();

    const Samples source = tones(kCalls);
    for (int call = 0; call < kCalls; ++call) {
      const int16_t* pcm = source.data() + 480 * call;
      std::vector<int32_t> statuses;
      if (many) {
        const int32_t result = send_many(order, pcm, 10 * call, statuses);
        // A failed runtime answers once for the call what each send answers.
        if (result != 0) statuses.assign(order.size(), result);
      } else {
        for (uint32_t slot : order) {
          statuses.push_back(dovrin_rtc_desktop_send(rtc, slot, pcm, 480, 48000, 10 * call));
        }
      }
      seen.statuses.push_back(statuses);
    }
    seen.tick = dovrin_rtc_desktop_tick(rtc);
    seen.lines = ::testing::internal::GetCapturedStderr();

    // Object ids differ between the runs; their places among the live
    // objects do not.
    const auto place = [](const std::vector<loopback::ObjectInfo>& among, uint64_t id) {
      const auto at = std::find_if(among.begin(), among.end(),
                                   [&](const loopback::ObjectInfo& o) { return o.id == id; });
      return "#" + std::to_string(at - among.begin());
    };
    for (const loopback::Entry& e : loopback::journal()) {
      const bool object_answer = e.op.find("create") != std::string::npos || e.op == "connection.get_local_user";
      std::string text = e.op + " fault=" + e.fault + " result=" +
                         (object_answer ? place(loopback::objects(), static_cast<uint64_t>(e.result))
                                        : std::to_string(e.result)) +
                         " object" + place(loopback::objects(e.kind), e.object);
      for (const auto& [name, value] : e.args) {
        if (name != "checksum" && name != "payload") text += " " + name + "=" + e.text(name);
      }
      seen.journal.push_back(text);
    }
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
      seen.records.push_back(bytes_of(event(slot, 0)));
      seen.records.push_back(bytes_of(event(slot, 1)));
      seen.link.push_back(dovrin_rtc_desktop_status(rtc, slot));
    }
    for (const DovrinRtcSdkEvent& e : policy().events()) seen.judged.push_back(bytes_of(e));
    return seen;
  }

  // A fresh runtime in a fresh stand-in world, as the first run found it.
  void start_over() {
    destroy();
    EXPECT_EQ(loopback::live_total(), 0u);
    loopback::reset();
    policy().reset();
    create();
  }
};

TEST_P(SendManyStates, EachSlotAnswersAsItsOwnSendWould) {
  const StateCase& c = GetParam();
  const Observed many = run(true);
  start_over();
  const Observed single = run(false);

  ASSERT_EQ(many.statuses.size(), static_cast<size_t>(kCalls));
  EXPECT_EQ(many.statuses[0][2], c.first) << "slot 0 in the first call";
  EXPECT_EQ(many.statuses[1][2], c.second) << "slot 0 in the second call";
  EXPECT_EQ(many.statuses, single.statuses);
  EXPECT_EQ(many.journal, single.journal);
  EXPECT_EQ(many.lines, single.lines);
  EXPECT_EQ(many.records, single.records);
  EXPECT_EQ(many.judged, single.judged);
  EXPECT_EQ(many.link, single.link);
  EXPECT_EQ(many.tick, single.tick);
}

using loopback::FaultKind;

INSTANTIATE_TEST_SUITE_P(
    States, SendManyStates,
    ::testing::Values(
        StateCase{"opus_empty", true, false, 0, State::empty, nullptr, FaultKind::code, -2, -2},
        StateCase{"opus_connecting", true, false, 0, State::connecting, nullptr, FaultKind::code, -2, -2},
        StateCase{"opus_connected", true, false, 0, State::connected, nullptr, FaultKind::code, 0, 0},
        StateCase{"opus_recovering", true, true, 0, State::recovering, nullptr, FaultKind::code, 1, 1},
        StateCase{"opus_connection_failed", true, true, 3, State::connection_failed, nullptr,
                  FaultKind::code, -2, -2},
        StateCase{"opus_marked_failed", true, false, 0, State::marked_failed, nullptr, FaultKind::code,
                  -2, -2},
        StateCase{"pcm_connected", false, false, 0, State::connected, nullptr, FaultKind::code, 0, 0},
        StateCase{"pcm_recovering", false, true, 1, State::recovering, nullptr, FaultKind::code, 1, 1},
        StateCase{"pcm_marked_failed", false, true, 3, State::marked_failed, nullptr, FaultKind::code,
                  -2, -2},
        StateCase{"opus_refused_tolerated", true, true, 0, State::connected, "encoded_sender.send",
                  FaultKind::code, 1, 0},
        StateCase{"opus_refused_tolerated_quietly", true, true, 1, State::connected,
                  "encoded_sender.send", FaultKind::code, 1, 0},
        StateCase{"opus_refused_failing_sends", true, true, 2, State::connected, "encoded_sender.send",
                  FaultKind::code, -3, 0},
        StateCase{"opus_refused_fatal", true, true, 3, State::connected, "encoded_sender.send",
                  FaultKind::code, -3, -2},
        StateCase{"opus_refused_without_policy", true, false, 0, State::connected,
                  "encoded_sender.send", FaultKind::code, -3, -2},
        StateCase{"opus_sender_throws", true, true, 0, State::connected, "encoded_sender.send",
                  FaultKind::exception, -3, -2},
        StateCase{"pcm_refused_tolerated", false, true, 0, State::connected, "pcm_sender.send",
                  FaultKind::code, 1, 0},
        StateCase{"pcm_refused_failing_sends", false, true, 2, State::connected, "pcm_sender.send",
                  FaultKind::code, -3, 0},
        StateCase{"pcm_refused_fatal", false, true, 4, State::connected, "pcm_sender.send",
                  FaultKind::code, -3, -2},
        StateCase{"pcm_sender_throws", false, false, 0, State::connected, "pcm_sender.send",
                  FaultKind::exception, -3, -2}),
    [](const ::testing::TestParamInfo<StateCase>& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------
// One stream for every slot

class SharedStream : public SendMany {
 protected:
  void SetUp() override {
    SendMany::SetUp();
    ASSERT_EQ(dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1), 0);
  }

  // The packets each encoded sender was handed, by sender id, in order.
  static std::map<uint64_t, std::vector<loopback::Entry>> sends_by_sender() {
    std::map<uint64_t, std::vector<loopback::Entry>> out;
    for (loopback::Entry& e : loopback::journal("encoded_sender.send")) out[e.object].push_back(e);
    return out;
  }
  static std::vector<std::vector<uint8_t>> packets(const std::vector<loopback::Entry>& sends) {
    std::vector<std::vector<uint8_t>> out;
    for (const loopback::Entry& e : sends) out.push_back(from_hex(e.text("payload")));
    return out;
  }
};

TEST_F(SharedStream, EverySlotDecodesOneStreamAndALateJoinerTheOngoingOne) {
  constexpr size_t kBlocks = 100;
  constexpr size_t kLateBlock = 40;
  constexpr uint32_t kLate = 33;
  for (uint32_t slot = 0; slot < kLate; ++slot) open_slot(slot, false);
  const Samples source = tones(kBlocks);
  std::vector<uint32_t> slots(DOVRIN_RTC_PEER_SLOTS);
  std::iota(slots.begin(), slots.end(), 0u);
  std::reverse(slots.begin(), slots.end());  // the serving order is the host's
  loopback::clear_journal();
  for (size_t b = 0; b < kBlocks; ++b) {
    if (b == kLateBlock) open_slot(kLate, false);
    std::vector<int32_t> results;
    ASSERT_EQ(send_many(slots, source.data() + 480 * b, 5000 + 10 * static_cast<int64_t>(b), results), 0);
    for (size_t i = 0; i < slots.size(); ++i) {
      EXPECT_EQ(results[i], slots[i] == kLate && b < kLateBlock ? -2 : 0) << "block " << b << " slot " << slots[i];
    }
  }

  // Encoded senders are made one per join, in join order.
  const auto senders = loopback::objects(loopback::Kind::encoded_sender);
  ASSERT_EQ(senders.size(), size_t{DOVRIN_RTC_PEER_SLOTS});
  auto sends = sends_by_sender();
  const std::vector<loopback::Entry>& first = sends[senders[0].id];
  ASSERT_EQ(first.size(), kBlocks);
  for (size_t b = 0; b < kBlocks; ++b) {
    EXPECT_EQ(first[b].num("capture_time_ms"), 5000 + 10 * static_cast<int64_t>(b));
    EXPECT_EQ(first[b].num("payload_size"), 40);
    EXPECT_EQ(first[b].num("sample_rate"), 16000);
  }
  const auto stream = packets(first);
  for (uint32_t slot = 1; slot < kLate; ++slot) {
    EXPECT_EQ(packets(sends[senders[slot].id]), stream) << "slot " << slot;
  }
  const auto late = packets(sends[senders[kLate].id]);
  ASSERT_EQ(late.size(), kBlocks - kLateBlock);
  EXPECT_TRUE(std::equal(late.begin(), late.end(), stream.begin() + kLateBlock))
      << "the late joiner receives the ongoing stream, not a stream of its own";

  // One encoding per block: exactly the stream one publisher makes of it.
  EXPECT_EQ(stream, reference_stream(source, 0, kBlocks, 5000));

  const double whole = correlation(source, decode(stream));
  EXPECT_GE(whole, 0.95);
  // The late joiner's decoder starts mid-stream; after 50 ms it has settled.
  constexpr size_t kSettle = 5;
  const Samples joined = decode(late);
  const Samples settled(joined.begin() + 480 * kSettle, joined.end());
  const Samples heard(source.begin() + 480 * (kLateBlock + kSettle), source.end());
  EXPECT_GE(correlation(heard, settled), 0.95);
}

TEST_F(SharedStream, OwnSendsKeepTheirOwnPublishers) {
  constexpr size_t kBlocks = 30;
  for (uint32_t slot = 0; slot < 3; ++slot) open_slot(slot, false);
  const Samples shared = tones(kBlocks, 440.0);
  const Samples own = tones(kBlocks, 300.0);
  const std::vector<uint32_t> many{1, 2};
  loopback::clear_journal();
  for (size_t b = 0; b < kBlocks; ++b) {
    const int64_t timestamp = 10 * static_cast<int64_t>(b);
    std::vector<int32_t> results;
    ASSERT_EQ(send_many(many, shared.data() + 480 * b, timestamp, results), 0);
    ASSERT_EQ(dovrin_rtc_desktop_send(rtc, 0, own.data() + 480 * b, 480, 48000, timestamp), 0);
  }
  const auto senders = loopback::objects(loopback::Kind::encoded_sender);
  auto sends = sends_by_sender();
  EXPECT_EQ(packets(sends[senders[0].id]), reference_stream(own, 0, kBlocks, 0));
  EXPECT_EQ(packets(sends[senders[1].id]), reference_stream(shared, 0, kBlocks, 0));
  EXPECT_EQ(packets(sends[senders[2].id]), packets(sends[senders[1].id]));
}

TEST_F(SharedStream, NewSettingsMakeANewSharedEncoder) {
  open_slot(0, false);
  const Samples source = tones(2);
  const std::vector<uint32_t> slots{0};
  std::vector<int32_t> results;
  ASSERT_EQ(send_many(slots, source.data(), 0, results), 0);
  ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 0), 0);
  ASSERT_EQ(dovrin_rtc_desktop_audio_config(rtc, 24000, 48000, 2), 0);
  open_slot(0, false);
  loopback::clear_journal();
  ASSERT_EQ(send_many(slots, source.data() + 480, 10, results), 0);
  EXPECT_EQ(results[0], 0);
  const auto sends = loopback::journal("encoded_sender.send");
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].num("sample_rate"), 24000);
  EXPECT_EQ(sends[0].num("channels"), 2);
  EXPECT_EQ(sends[0].num("payload_size"), 60);
}

// ---------------------------------------------------------------------------
// Connection states changing on an SDK thread while the host publishes

TEST_F(SharedStream, SlotsRecoveringOnAnSdkThreadMissBlocksAndAreNeverDown) {
  install_policy();
  policy().action = 1;  // a reconnection that was not expected is tolerated
  constexpr uint32_t kCount = 8;
  std::vector<uint64_t> connections;
  for (uint32_t slot = 0; slot < kCount; ++slot) connections.push_back(open_slot(slot, true));
  std::vector<uint32_t> slots(kCount);
  std::iota(slots.begin(), slots.end(), 0u);
  std::atomic<bool> done{false};
  std::thread sdk([&] {
    for (size_t i = 0; !done.load(std::memory_order_acquire); ++i) {
      const uint32_t slot = static_cast<uint32_t>(i % kCount);
      notify(connections[slot], slot,
             (i / kCount) % 2 == 0 ? loopback::Notice::connection_lost : loopback::Notice::reconnected);
    }
  });
  const Samples source = tones(1);
  loopback::clear_journal();
  size_t sent = 0;
  for (int call = 0; call < 300; ++call) {
    std::vector<int32_t> results;
    ASSERT_EQ(send_many(slots, source.data(), 10 * call, results), 0);
    for (int32_t r : results) {
      ASSERT_TRUE(r == 0 || r == 1) << "call " << call << " answered " << r;
      sent += r == 0 ? 1 : 0;
    }
  }
  // Up or recovering, a slot is never reported as down or connecting; the
  // status is cheap, so many of them meet the SDK thread mid-change.
  for (int i = 0; i < 1000000; ++i) {
    const int32_t status = dovrin_rtc_desktop_status(rtc, static_cast<uint32_t>(i) % kCount);
    ASSERT_TRUE(status == 1 || status == 2) << "status " << status << " at query " << i;
  }
  done.store(true, std::memory_order_release);
  sdk.join();
  const auto sends = loopback::journal("encoded_sender.send");
  EXPECT_EQ(sends.size(), sent) << "a slot answers 0 exactly when its packet went out";
  for (uint32_t slot = 0; slot < kCount; ++slot) {
    notify(connections[slot], slot, loopback::Notice::reconnected);
  }
  std::vector<int32_t> results;
  ASSERT_EQ(send_many(slots, source.data(), 3000, results), 0);
  EXPECT_EQ(results, std::vector<int32_t>(kCount, 0));
}

// ---------------------------------------------------------------------------
// No allocation per call

TEST_F(SendMany, NoCallAllocatesOnceTheSharedEncoderExists) {
  for (const bool opus : {true, false}) {
    SCOPED_TRACE(opus ? "opus" : "pcm");
    destroy();
    create();
    if (opus) {
      ASSERT_EQ(dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1), 0);
    }
    for (uint32_t slot = 0; slot < DOVRIN_RTC_PEER_SLOTS; ++slot) open_slot(slot, false);
    std::vector<uint32_t> slots(DOVRIN_RTC_PEER_SLOTS);
    std::iota(slots.begin(), slots.end(), 0u);
    const Samples source = tones(21);
    std::vector<int32_t> results(slots.size(), 99);
    loopback::set_journaling(false);
    ASSERT_EQ(dovrin_rtc_desktop_send_many(rtc, slots.data(), DOVRIN_RTC_PEER_SLOTS, source.data(), 480,
                                           48000, 0, results.data()),
              0);
    int32_t worst = 0;
    const size_t allocations = allocations_during([&] {
      for (int b = 1; b < 21; ++b) {
        worst |= dovrin_rtc_desktop_send_many(rtc, slots.data(), DOVRIN_RTC_PEER_SLOTS,
                                              source.data() + 480 * b, 480, 48000, 10 * b, results.data());
        for (int32_t r : results) worst |= r;
      }
    });
    loopback::set_journaling(true);
    EXPECT_EQ(worst, 0) << "every slot sent every block";
    EXPECT_EQ(allocations, 0u);
  }
}

}  // namespace
