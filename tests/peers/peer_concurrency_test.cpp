// Notifications and remote frames from SDK threads while the host joins,
// polls, ticks and leaves. Meant for ThreadSanitizer; in other builds it
// checks that nothing crashes or fails and that remote blocks stay in order.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/peer_fixture.h"

namespace {

using dovrin::testing::PeerTest;

class PeerConcurrency : public PeerTest {};

TEST_F(PeerConcurrency, SdkThreadsAgainstJoinPollAndLeave) {
  install_policy();
  policy().action = 1;  // tolerate, so that every slot keeps working
  const uint64_t runtime_connection = connection;
  std::atomic<bool> done{false};

  // Connection notifications to every peer connection alive at the moment.
  std::thread notifier([&] {
    const loopback::Notification notices[] = {
        connected_notice(), user_notice(loopback::Notice::user_joined, "7"),
        user_notice(loopback::Notice::user_left, "7", 1),
        [] {
          loopback::Notification n;
          n.notice = loopback::Notice::connection_lost;
          return n;
        }(),
        [] {
          loopback::Notification n = connected_notice();
          n.notice = loopback::Notice::reconnected;
          return n;
        }(),
        user_notice(loopback::Notice::user_joined, "7")};
    size_t i = 0;
    while (!done.load(std::memory_order_acquire)) {
      for (const auto& info : loopback::objects(loopback::Kind::connection)) {
        if (info.id != runtime_connection) loopback::notify(info.id, notices[i % std::size(notices)]);
      }
      ++i;
    }
  });

  // Remote frames, sequence-stamped, to every local user but the runtime's.
  std::thread remote([&] {
    std::array<int16_t, 480> samples{};
    loopback::FrameFormat format;
    format.channels = 1;
    uint32_t sequence = 0;
    while (!done.load(std::memory_order_acquire)) {
      ++sequence;
      samples[0] = static_cast<int16_t>(sequence >> 16);
      samples[1] = static_cast<int16_t>(sequence & 0xffff);
      for (const auto& info : loopback::objects(loopback::Kind::local_user)) {
        if (info.related == runtime_connection) continue;
        loopback::deliver_before_mixing_text(info.id, nullptr, "7", format, samples);
      }
    }
  });

  DovrinRtcAudioBlock block;
  int delivered = 0;
  for (int round = 0; round < 30; ++round) {
    const uint32_t slot = static_cast<uint32_t>(round % 3);
    ASSERT_EQ(join(slot, true), 0) << round;
    uint32_t last = 0;
    int this_round = 0;
    // Bounded: the SDK threads need the scheduler to come round to them.
    for (int i = 0; i < 200'000 && this_round < 5; ++i) {
      const int32_t polled = dovrin_rtc_desktop_poll(rtc, slot + 1, &block);
      ASSERT_GE(polled, 0) << "tolerated events never fail the slot";
      if (polled == 1) {
        ++delivered;
        ++this_round;
        EXPECT_EQ(block.epoch, 2u);
        const uint32_t stamp = static_cast<uint32_t>(static_cast<uint16_t>(block.samples[0])) << 16 |
                               static_cast<uint16_t>(block.samples[1]);
        EXPECT_GT(stamp, last) << "remote blocks out of order";
        last = stamp;
      }
      if (i % 20 == 0) {
        ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
      }
      dovrin_rtc_desktop_status(rtc, slot);
      std::this_thread::yield();
    }
    ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, slot), 0) << round;
  }
  done.store(true, std::memory_order_release);
  notifier.join();
  remote.join();
  EXPECT_GE(dovrin_rtc_desktop_tick(rtc), 0);
  EXPECT_GT(delivered, 0) << "the remote thread never got a block through";
}

}  // namespace
