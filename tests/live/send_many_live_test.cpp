// One voice published to 34 channels through send_many, heard by a bot in
// each channel over the live stand-in: every bot decodes the one shared
// stream, including a bot whose slot joined while the stream was running.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "live/signal_measure.h"
#include "support/live_runtime_fixture.h"

namespace dovrin::testing {
namespace {

constexpr uint32_t kSlots = 34;
constexpr uint32_t kLateSlot = 33;
constexpr uint32_t kRemoteUid = 7;
constexpr size_t kBlock = 480;
constexpr size_t kLateJoinBlock = 100;  // 1 s into the stream

std::string channel_of(uint32_t slot) {
  char name[16];
  std::snprintf(name, sizeof name, "fan-%u", slot);
  return name;
}

class SendManyLive : public LiveRuntimeTest {
 protected:
  void SetUp() override {
    start(34);
    if (HasFatalFailure()) return;
    ASSERT_EQ(dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1), 0);
    for (uint32_t slot = 0; slot < kSlots; ++slot) {
      loopback::BotOptions bot;
      bot.channel = channel_of(slot);
      bot.user_id = std::to_string(kRemoteUid);
      bot.publish = false;
      bots[slot] = loopback::add_bot(bot);
    }
  }

  void join(uint32_t slot) {
    ASSERT_EQ(dovrin_rtc_desktop_join(rtc, slot, channel_of(slot).c_str(), "token", 42, kRemoteUid), 0);
  }

  std::array<uint64_t, kSlots> bots{};
};

TEST_F(SendManyLive, EveryChannelHearsTheOneStreamLateJoinerIncluded) {
  for (uint32_t slot = 0; slot < kSlots; ++slot) {
    if (slot != kLateSlot) join(slot);
  }
  for (int i = 0; i < 100 && dovrin_rtc_desktop_status(rtc, 0) != 1; ++i) step();
  for (uint32_t slot = 0; slot < kLateSlot; ++slot) ASSERT_EQ(dovrin_rtc_desktop_status(rtc, slot), 1) << slot;

  std::array<uint32_t, kSlots> slots;
  for (uint32_t slot = 0; slot < kSlots; ++slot) slots[slot] = slot;
  const auto signal = speech_like(48000, 48000 * 3);
  const size_t blocks = signal.size() / kBlock;
  std::array<int32_t, kSlots> results;
  uint64_t sent = 0;
  size_t late_first = 0;  // the first block the late slot sent
  for (size_t k = 0; k < blocks; ++k) {
    if (k == kLateJoinBlock) join(kLateSlot);
    ASSERT_EQ(dovrin_rtc_desktop_send_many(rtc, slots.data(), kSlots, signal.data() + k * kBlock, kBlock, 48000,
                                           static_cast<int64_t>(k * 10), results.data()),
              0);
    for (uint32_t slot = 0; slot < kLateSlot; ++slot) ASSERT_EQ(results[slot], 0) << "slot " << slot << " block " << k;
    if (results[kLateSlot] == 0 && late_first == 0) late_first = k;
    if (late_first != 0) {
      ASSERT_EQ(results[kLateSlot], 0) << "the late slot stopped at block " << k;
    } else {
      ASSERT_EQ(results[kLateSlot], -2) << "an empty or connecting slot is not sent on";
    }
    for (int32_t result : results) sent += result == 0 ? 1 : 0;
    step();
  }
  for (int i = 0; i < 10; ++i) step();
  ASSERT_GT(late_first, kLateJoinBlock);
  EXPECT_EQ(loopback::call_count("encoded_sender.send"), sent) << "one packet per slot that sent";

  // A quarter second from the middle of what each bot heard, after its onset.
  constexpr size_t kLength = 12000;
  for (uint32_t slot = 0; slot < kSlots; ++slot) {
    SCOPED_TRACE(channel_of(slot));
    const auto heard = loopback::bot_recording(bots[slot]);
    const size_t onset = first_sound(heard);
    ASSERT_LT(onset, heard.size()) << "the bot heard nothing";
    // The onset is the first block the slot sent: block 0, or the late slot's first.
    const size_t first = slot == kLateSlot ? late_first : 0;
    const size_t offset = slot == kLateSlot ? 4800 : 48000;  // 100 ms after the late join
    const std::vector<int16_t> part(signal.begin() + static_cast<std::ptrdiff_t>(first * kBlock + offset),
                                    signal.begin() + static_cast<std::ptrdiff_t>(first * kBlock + offset + kLength));
    const Comparison c = compare(part, heard, onset + offset - 200, onset + offset + 1200);
    if (slot == 0 || slot == kLateSlot) {
      std::printf("LIVE_FIGURE send_many slot=%u correlation=%.4f snr_db=%.1f\n", slot, c.correlation, c.snr_db);
    }
    EXPECT_GE(c.correlation, 0.95);
    EXPECT_EQ(loopback::bot_stats(bots[slot]).out_of_order, 0u);
  }
}

}  // namespace
}  // namespace dovrin::testing
