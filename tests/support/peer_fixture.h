// Joined peers over the stand-in SDK: a host policy the test controls, and
// the SDK objects and notifications of one peer's connection.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "support/runtime_fixture.h"

namespace dovrin::testing {

// The host's policy. A policy callback carries no context, so the test's
// policy lives in one process-wide object.
struct TestPolicy {
  std::atomic<uint32_t> action{0};
  std::atomic<uint32_t> probe_answer{1};
  std::mutex mutex;
  std::vector<DovrinRtcSdkEvent> recorded;

  static TestPolicy& instance() {
    static TestPolicy policy;
    return policy;
  }
  static uint32_t callback(const DovrinRtcSdkEvent* event) {
    TestPolicy& p = instance();
    if (event->sequence == 0) return p.probe_answer.load(std::memory_order_relaxed);
    std::lock_guard lock(p.mutex);
    p.recorded.push_back(*event);
    return p.action.load(std::memory_order_relaxed);
  }
  void reset() {
    action = 0;
    probe_answer = 1;
    std::lock_guard lock(mutex);
    recorded.clear();
  }
  std::vector<DovrinRtcSdkEvent> events() {
    std::lock_guard lock(mutex);
    return recorded;
  }
};

inline constexpr const char* kChannel = "room-1";
inline constexpr uint32_t kLocalUid = 42;
inline constexpr uint32_t kRemoteUid = 7;

// The SDK objects of one joined peer.
struct PeerObjects {
  uint64_t connection = 0;
  uint64_t local_user = 0;
  uint64_t track = 0;
};

class PeerTest : public RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    policy().reset();
    create();
  }
  void TearDown() override {
    RuntimeTest::TearDown();
    policy().reset();
  }

  static TestPolicy& policy() { return TestPolicy::instance(); }
  void install_policy() {
    ASSERT_EQ(dovrin_rtc_desktop_error_policy(rtc, &TestPolicy::callback), 0);
  }
  // A new runtime whose policy answers every recorded event with `action`;
  // for tables that need a fresh runtime per case.
  void restart_with_policy(uint32_t action) {
    destroy();
    create();
    install_policy();
    policy().action = action;
  }

  int32_t join(uint32_t slot, bool v2 = false, const char* channel = kChannel,
               uint32_t local = kLocalUid, uint32_t remote = kRemoteUid) {
    return v2 ? dovrin_rtc_desktop_join_v2(rtc, slot, channel, "token", local, remote)
              : dovrin_rtc_desktop_join(rtc, slot, channel, "token", local, remote);
  }

  // The objects of the newest connection (the last peer joined).
  static PeerObjects newest_peer() {
    PeerObjects objects;
    const auto connections = loopback::objects(loopback::Kind::connection);
    objects.connection = connections.back().id;
    objects.local_user = loopback::connection_state(objects.connection)->local_user;
    const auto published = loopback::local_user_state(objects.local_user)->published;
    objects.track = published.empty() ? 0 : published.front();
    return objects;
  }

  // Notifications as the SDK sends them for this peer's connection.
 public:
  static loopback::Notification connected_notice(const char* channel = kChannel,
                                                 const char* local = "42") {
    loopback::Notification n;
    n.notice = loopback::Notice::connected;
    n.info.channel_id = channel;
    n.info.local_user_id = local;
    n.numbers[0] = 1;
    return n;
  }
  static loopback::Notification user_notice(loopback::Notice notice, const char* user, int reason = 0) {
    loopback::Notification n;
    n.notice = notice;
    n.text = user;
    n.numbers[0] = reason;
    return n;
  }

 protected:
  // Joins, connects and lets the remote user arrive.
  PeerObjects established(uint32_t slot, bool v2 = false) {
    EXPECT_EQ(join(slot, v2), 0);
    PeerObjects objects = newest_peer();
    loopback::notify(objects.connection, connected_notice());
    loopback::notify(objects.connection, user_notice(loopback::Notice::user_joined, "7"));
    return objects;
  }

  // One 10 ms mono 48 kHz before-mixing frame of the remote user.
  static loopback::FrameAnswers remote_frame(uint64_t local_user, int16_t value,
                                             const char* user = "7", const char* channel = nullptr) {
    std::array<int16_t, 480> samples;
    samples.fill(value);
    loopback::FrameFormat format;
    format.channels = 1;
    return loopback::deliver_before_mixing_text(local_user, channel, user, format, samples);
  }

  DovrinRtcSdkEvent event(uint32_t slot, int32_t which) {
    DovrinRtcSdkEvent out{};
    dovrin_rtc_desktop_error(rtc, slot, which, &out);
    return out;
  }
};

}  // namespace dovrin::testing
