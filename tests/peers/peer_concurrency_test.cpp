// Notifications and remote frames from SDK threads while the host joins,
// polls, ticks and leaves. Meant for ThreadSanitizer; in other builds it
// checks that nothing crashes or fails and that remote blocks stay in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

size_t count_lines(const std::string& text, const std::string& prefix) {
  size_t count = 0;
  for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) ++count;
  return count;
}

// Sending, ticking and polling one slot from three host threads, as the
// header allows, while the sender meets a failure the policy makes fatal.
// Each thread may be the first to see the failed slot; its fault line must
// still show exactly once, from poll or from the tick.
TEST_F(PeerConcurrency, SendTickAndPollMeetTheFirstFailureOnce) {
  install_policy();
  policy().action = 4;
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 0), 0);
    established(0, true);
    ASSERT_EQ(dovrin_rtc_desktop_status(rtc, 0), 1);
    loopback::fail_with("pcm_sender.send", -7, loopback::kAlways);
    std::atomic<int> ready{0};
    auto start = [&ready] {
      ready.fetch_add(1, std::memory_order_acq_rel);
      while (ready.load(std::memory_order_acquire) < 3) std::this_thread::yield();
    };
    testing::internal::CaptureStderr();
    std::thread sender([&] {
      start();
      int16_t pcm[480] = {};
      while (dovrin_rtc_desktop_send(rtc, 0, pcm, 480, 48000, 0) != -2) {
      }
    });
    std::thread ticker([&] {
      start();
      for (int i = 0; i < 200; ++i) ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
    });
    std::thread poller([&] {
      start();
      DovrinRtcAudioBlock block;
      while (dovrin_rtc_desktop_poll(rtc, 1, &block) != -3) std::this_thread::yield();
      for (int i = 0; i < 200; ++i) EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 1, &block), -3);
    });
    sender.join();
    ticker.join();
    poller.join();
    ASSERT_EQ(dovrin_rtc_desktop_tick(rtc), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    loopback::clear_faults();
    EXPECT_EQ(count_lines(err, "DOVRIN_RTC_NATIVE_POLL_FAULT") + count_lines(err, "DOVRIN_RTC_NATIVE_PEER event="), 1u)
        << "round " << round << ":\n" << err;
    EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), -2);
  }
}

// The runtime's fault lines, met by two host threads at once.
TEST_F(PeerConcurrency, FailedRuntimeReportsOnceAcrossThreads) {
  for (int round = 0; round < 20; ++round) {
    restart_with_policy(0);
    loopback::fail_with("track.set_enabled", 6);
    testing::internal::CaptureStderr();
    ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), -3);
    std::atomic<int> ready{0};
    auto hammer = [&](auto gated_call) {
      ready.fetch_add(1, std::memory_order_acq_rel);
      while (ready.load(std::memory_order_acquire) < 2) std::this_thread::yield();
      for (int i = 0; i < 100; ++i) EXPECT_EQ(gated_call(), -2);
    };
    std::thread a(hammer, [&] { return dovrin_rtc_desktop_status(rtc, 0); });
    std::thread b(hammer, [&] { return dovrin_rtc_desktop_tick(rtc); });
    a.join();
    b.join();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_lines(err, "DOVRIN_RTC_NATIVE_FAULT"), 1u) << "round " << round << ":\n" << err;
  }
}

}  // namespace
