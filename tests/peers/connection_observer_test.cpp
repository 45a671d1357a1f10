#include "peers/connection_observer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/manual_clock.h"

namespace {

using dovrin::rtc_probe::ConnectionObserver;
using Reason = agora::rtc::CONNECTION_CHANGED_REASON_TYPE;

class OwnedString : public agora::util::IString {
 public:
  explicit OwnedString(std::string text) : text_(std::move(text)) {}
  bool empty() const override { return text_.empty(); }
  const char* c_str() override { return text_.c_str(); }
  const char* data() override { return text_.data(); }
  size_t length() override { return text_.size(); }
  void release() override { delete this; }

 private:
  std::string text_;
};

agora::rtc::TConnectionInfo info(std::optional<std::string> channel, std::optional<std::string> local) {
  agora::rtc::TConnectionInfo result;
  if (channel) result.channelId.reset(new OwnedString(*channel));
  if (local) result.localUserId.reset(new OwnedString(*local));
  return result;
}

// The owner's side of an observer: counts callbacks and answers reports.
struct Owner {
  int failures = 0;
  int connects = 0;
  uint32_t action = 4;
  std::vector<std::pair<uint32_t, int32_t>> reports;

  static void on_failure(void* self) { ++static_cast<Owner*>(self)->failures; }
  static void on_connected(void* self) { ++static_cast<Owner*>(self)->connects; }
  static uint32_t on_report(void* self, uint32_t operation, int32_t code) {
    auto* owner = static_cast<Owner*>(self);
    owner->reports.emplace_back(operation, code);
    return owner->action;
  }
};

constexpr uint32_t kWindow = 10000;

class ConnectionObserverTest : public ::testing::Test {
 protected:
  ConnectionObserver& make(bool event_mode, uint32_t window = kWindow, uint32_t local = 42,
                           uint32_t remote = 7) {
    observer.emplace(remote, &Owner::on_failure, &owner, "room", local, &Owner::on_connected,
                     window, event_mode ? &Owner::on_report : nullptr, event_mode, nullptr);
    return *observer;
  }
  // A connection that has connected, with the remote user present.
  ConnectionObserver& established(bool event_mode) {
    ConnectionObserver& o = make(event_mode);
    EXPECT_TRUE(o.begin());
    o.onConnected(info("room", "42"), agora::rtc::CONNECTION_CHANGED_JOIN_SUCCESS);
    o.onUserJoined("7");
    return o;
  }

  dovrin::testing::ManualClock clock{100000};
  Owner owner;
  std::optional<ConnectionObserver> observer;
};

TEST_F(ConnectionObserverTest, BeginChecksItsConfigurationOnce) {
  struct Case {
    uint32_t window, local, remote;
    bool ok;
  } cases[] = {{999, 42, 7, false}, {1000, 42, 7, true}, {60000, 42, 7, true}, {60001, 42, 7, false},
               {kWindow, 0, 7, false},  {kWindow, 42, 0, false}, {kWindow, 7, 7, false}};
  for (const Case& c : cases) {
    ConnectionObserver& o = make(false, c.window, c.local, c.remote);
    EXPECT_EQ(o.begin(), c.ok) << c.window << " " << c.local << " " << c.remote;
    if (c.ok) {
      EXPECT_FALSE(o.begin()) << "a second begin is refused";
    }
  }
}

TEST_F(ConnectionObserverTest, ConnectedNamingAnotherConnectionFails) {
  struct Case {
    std::optional<std::string> channel, local;
  } cases[] = {{"other", "42"}, {"room", "042"}, {"room", "420"}, {std::nullopt, "42"},
               {"room", std::nullopt}, {"room", ""}};
  for (const Case& c : cases) {
    owner = Owner{};
    ConnectionObserver& o = make(false);
    ASSERT_TRUE(o.begin());
    o.onConnected(info(c.channel, c.local), Reason::CONNECTION_CHANGED_JOIN_SUCCESS);
    EXPECT_TRUE(o.failed());
    EXPECT_EQ(o.failure_event(), 1u);
    EXPECT_EQ(o.failure_code(), 1);
    EXPECT_EQ(owner.failures, 1);
    EXPECT_EQ(owner.connects, 0);
  }
}

TEST_F(ConnectionObserverTest, SecondConnectedWhileConnectedFails) {
  ConnectionObserver& o = established(false);
  EXPECT_TRUE(o.connected());
  EXPECT_EQ(owner.connects, 1);
  o.onConnected(info("room", "42"), Reason::CONNECTION_CHANGED_JOIN_SUCCESS);
  EXPECT_EQ(o.failure_event(), 2u);
  EXPECT_FALSE(o.connected());
}

TEST_F(ConnectionObserverTest, LostLinkRecoversWithinTheWindow) {
  ConnectionObserver& o = established(false);
  o.onConnectionLost(info("room", "42"));
  EXPECT_TRUE(o.recovering());
  EXPECT_FALSE(o.connected());
  clock.advance(kWindow - 1);
  o.onReconnected(info("room", "42"), Reason::CONNECTION_CHANGED_JOIN_SUCCESS);
  EXPECT_TRUE(o.connected());
  EXPECT_FALSE(o.recovering());
  EXPECT_EQ(owner.connects, 2) << "a completed recovery connects again";
}

TEST_F(ConnectionObserverTest, RepeatedInterruptionsKeepTheFirstDeadline) {
  ConnectionObserver& o = established(false);
  o.onReconnecting(info("room", "42"), Reason::CONNECTION_CHANGED_INTERRUPTED);
  clock.advance(6000);
  o.onConnectionLost(info("room", "42"));
  clock.advance(3999);
  o.check_recovery_deadline(clock.now());
  EXPECT_FALSE(o.failed());
  clock.advance(1);
  o.check_recovery_deadline(clock.now());
  EXPECT_EQ(o.failure_event(), 15u);
}

TEST_F(ConnectionObserverTest, ToleratedDeadlineStaysExpired) {
  ConnectionObserver& o = established(true);
  owner.action = 1;
  o.onConnectionLost(info("room", "42"));
  clock.advance(kWindow);
  o.check_recovery_deadline(clock.now());
  ASSERT_EQ(owner.reports.size(), 1u);
  EXPECT_EQ(owner.reports[0].first, 15u);
  EXPECT_FALSE(o.failed());
  o.onReconnected(info("room", "42"), Reason::CONNECTION_CHANGED_JOIN_SUCCESS);
  EXPECT_TRUE(o.recovering()) << "an expired recovery never completes";
  ASSERT_EQ(owner.reports.size(), 2u);
  EXPECT_EQ(owner.reports[1].first, 15u);
}

TEST_F(ConnectionObserverTest, RemoteUserLeavingWithoutEventMode) {
  {
    ConnectionObserver& o = established(false);
    o.onUserLeft("7", agora::rtc::USER_OFFLINE_DROPPED);
    EXPECT_TRUE(o.recovering());
    EXPECT_TRUE(o.peer_missing());
    o.onUserJoined("7");
    EXPECT_TRUE(o.connected());
    EXPECT_EQ(o.peer_generation(), 2u);
    EXPECT_EQ(owner.connects, 2);
  }
  {
    owner = Owner{};
    ConnectionObserver& o = established(false);
    o.onUserLeft("7", agora::rtc::USER_OFFLINE_QUIT);
    EXPECT_EQ(o.failure_event(), 12u);
    EXPECT_EQ(o.failure_code(), 0);
  }
}

TEST_F(ConnectionObserverTest, RemoteUserLeavingInEventModeIsOnlyReported) {
  ConnectionObserver& o = established(true);
  o.onUserLeft("7", agora::rtc::USER_OFFLINE_QUIT);
  EXPECT_FALSE(o.peer_present());
  EXPECT_TRUE(o.connected());
  EXPECT_FALSE(o.recovering());
  ASSERT_EQ(owner.reports.size(), 1u);
  EXPECT_EQ(owner.reports[0], std::make_pair(12u, 0));
  EXPECT_FALSE(o.failed()) << "the answer to a departure is not used";
}

TEST_F(ConnectionObserverTest, PresenceGenerations) {
  ConnectionObserver& o = make(false);
  ASSERT_TRUE(o.begin());
  o.onUserLeft("7", agora::rtc::USER_OFFLINE_DROPPED);
  EXPECT_EQ(o.peer_generation(), 1u) << "a departure before any arrival";
  EXPECT_FALSE(o.peer_present());
  o.onUserJoined("7");
  o.onUserJoined("7");
  EXPECT_EQ(o.peer_generation(), 2u) << "a second arrival without departure";
  o.onUserJoined("8");
  o.onUserLeft("07", agora::rtc::USER_OFFLINE_QUIT);
  EXPECT_TRUE(o.peer_present()) << "other users are ignored";
  o.peer_unavailable(1);
  EXPECT_TRUE(o.peer_present()) << "an old generation has no effect";
  o.peer_unavailable(2);
  EXPECT_FALSE(o.peer_present());
  o.onUserJoined("7");
  EXPECT_EQ(o.peer_generation(), 3u);
}

TEST_F(ConnectionObserverTest, NotificationsTable) {
  // Each notification on a fresh connecting observer in event mode with a
  // tolerant policy: which operation it reports and with which code.
  struct Case {
    const char* name;
    void (*deliver)(ConnectionObserver&);
    int reports;
    uint32_t operation;
    int32_t code;
  } cases[] = {
      {"disconnected", [](ConnectionObserver& o) { o.onDisconnected(info("room", "42"), Reason(5)); }, 1, 3, 5},
      {"failure", [](ConnectionObserver& o) { o.onConnectionFailure(info("room", "42"), Reason(4)); }, 1, 8, 4},
      {"expired", [](ConnectionObserver& o) { o.onTokenPrivilegeDidExpire(); }, 1, 10, 0},
      {"error", [](ConnectionObserver& o) { o.onError(17, "x"); }, 1, 14, 17},
      {"error 0", [](ConnectionObserver& o) { o.onError(0, "x"); }, 0, 0, 0},
      {"relay", [](ConnectionObserver& o) { o.onChannelMediaRelayStateChanged(2, 9); }, 1, 13, 9},
      {"relay 0", [](ConnectionObserver& o) { o.onChannelMediaRelayStateChanged(2, 0); }, 0, 0, 0},
      {"renewed", [](ConnectionObserver& o) { o.onRenewTokenResult("t", 0); }, 1, 11, 0},
      {"renew refused", [](ConnectionObserver& o) { o.onRenewTokenResult("t", 3); }, 1, 11, 3},
      {"connecting", [](ConnectionObserver& o) { o.onConnecting(info("room", "42"), Reason(0)); }, 0, 0, 0},
      {"reconnecting", [](ConnectionObserver& o) { o.onReconnecting(info("room", "42"), Reason(2)); }, 0, 0, 0},
  };
  for (const Case& c : cases) {
    owner = Owner{};
    owner.action = 0;
    ConnectionObserver& o = make(true);
    ASSERT_TRUE(o.begin());
    c.deliver(o);
    ASSERT_EQ(static_cast<int>(owner.reports.size()), c.reports) << c.name;
    if (c.reports) {
      EXPECT_EQ(owner.reports[0], std::make_pair(c.operation, c.code)) << c.name;
    }
    EXPECT_FALSE(o.failed()) << c.name << ": tolerated";
  }
}

TEST_F(ConnectionObserverTest, UnexpectedStatesFail) {
  ConnectionObserver& idle = make(false);
  idle.onConnecting(info("room", "42"), Reason(0));
  EXPECT_EQ(idle.failure_event(), 4u);
  ConnectionObserver& idle2 = make(false);
  idle2.onReconnecting(info("room", "42"), Reason(2));
  EXPECT_EQ(idle2.failure_event(), 5u);
  ConnectionObserver& idle3 = make(false);
  idle3.onReconnected(info("room", "42"), Reason(1));
  EXPECT_EQ(idle3.failure_event(), 6u);
  ConnectionObserver& idle4 = make(false);
  idle4.onDisconnected(info("room", "42"), Reason(5));
  EXPECT_FALSE(idle4.failed()) << "disconnected before begin is not a failure";
}

TEST_F(ConnectionObserverTest, NothingCountsAfterClose) {
  ConnectionObserver& o = established(true);
  o.close();
  EXPECT_EQ(owner.failures, 1) << "closing ends the peer's audio";
  o.onDisconnected(info("room", "42"), Reason(5));
  o.onError(3, "late");
  o.onUserLeft("7", agora::rtc::USER_OFFLINE_QUIT);
  EXPECT_TRUE(owner.reports.empty());
  EXPECT_FALSE(o.failed());
  EXPECT_EQ(o.current_state(), ConnectionObserver::Closed);
  EXPECT_FALSE(o.peer_present()) << "presence still follows the remote user";
  o.close();
  EXPECT_EQ(owner.failures, 1);
}

TEST_F(ConnectionObserverTest, FatalAnswerFailsOnceAndClosesNothingTwice) {
  ConnectionObserver& o = established(true);
  owner.action = 3;
  o.onError(5, "boom");
  o.onError(6, "again");
  EXPECT_EQ(o.failure_event(), 14u);
  EXPECT_EQ(o.failure_code(), 5);
  EXPECT_EQ(owner.reports.size(), 1u) << "a failed connection reports nothing more";
  o.close();
  EXPECT_EQ(owner.failures, 1);
}

TEST_F(ConnectionObserverTest, ConcurrentFailuresRunTheEffectOnce) {
  for (int round = 0; round < 50; ++round) {
    owner = Owner{};
    ConnectionObserver& o = established(false);
    std::thread a([&] { o.onError(1, "a"); });
    std::thread b([&] { o.onConnectionFailure(info("room", "42"), Reason(4)); });
    std::thread c([&] { o.close(); });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(owner.failures, 1) << "round " << round;
  }
}

// A clock that runs an interfering notification once, inside its `fire_at`-th
// read after arming, on the reading thread. The observer reads the clock
// between its recovery checks and its deadline exchanges, so walking
// `fire_at` over every read places the interference at every such point.
class InterferingClock {
 public:
  explicit InterferingClock(uint64_t now) : now_(now) {
    dovrin::rtc_probe::set_steady_clock(&InterferingClock::read, this);
  }
  ~InterferingClock() { dovrin::rtc_probe::set_steady_clock(nullptr, nullptr); }

  void arm(int fire_at, std::function<void()> action) {
    reads_ = 0;
    fire_at_ = fire_at;
    action_ = std::move(action);
  }
  // Runs the interference now if no read ran it.
  bool fire_if_pending() {
    if (!action_) return false;
    std::exchange(action_, nullptr)();
    return true;
  }
  uint64_t now() const { return now_; }
  void advance(uint64_t ms) { now_ += ms; }

 private:
  static uint64_t read(void* self) noexcept {
    auto* clock = static_cast<InterferingClock*>(self);
    if (clock->action_ && ++clock->reads_ == clock->fire_at_) clock->fire_if_pending();
    return clock->now_;
  }
  uint64_t now_;
  int reads_ = 0;
  int fire_at_ = 0;
  std::function<void()> action_;
};

// A return (reconnection, or the remote user coming back) races a new loss
// (link lost, or the user dropping again). Whatever the interleaving, the
// observer must end recovered, or recovering with a deadline that will fire.
struct ReturnRace {
  const char* name;
  bool event_mode;
  void (*lose)(ConnectionObserver&);
  void (*come_back)(ConnectionObserver&);
};

const ReturnRace kReturnRaces[] = {
    {"link, judged by policy", true, [](ConnectionObserver& o) { o.onConnectionLost(info("room", "42")); },
     [](ConnectionObserver& o) {
       o.onReconnected(info("room", "42"), Reason::CONNECTION_CHANGED_JOIN_SUCCESS);
     }},
    {"link", false, [](ConnectionObserver& o) { o.onConnectionLost(info("room", "42")); },
     [](ConnectionObserver& o) {
       o.onReconnected(info("room", "42"), Reason::CONNECTION_CHANGED_JOIN_SUCCESS);
     }},
    {"remote user", false, [](ConnectionObserver& o) { o.onUserLeft("7", agora::rtc::USER_OFFLINE_DROPPED); },
     [](ConnectionObserver& o) { o.onUserJoined("7"); }},
};

TEST(ConnectionObserverRace, LossDuringAReturnKeepsADeadline) {
  for (const ReturnRace& race : kReturnRaces) {
    // 0: the loss comes before the return starts; past the return's last
    // read it comes after the return has finished.
    for (int fire_at = 0; fire_at <= 6; ++fire_at) {
      SCOPED_TRACE(std::string(race.name) + ", loss at clock read " + std::to_string(fire_at));
      InterferingClock clock(100000);
      Owner owner;
      owner.action = 1;  // the policy tolerates what it is shown
      ConnectionObserver o(7, &Owner::on_failure, &owner, "room", 42, &Owner::on_connected, kWindow,
                           race.event_mode ? &Owner::on_report : nullptr, race.event_mode, nullptr);
      ASSERT_TRUE(o.begin());
      o.onConnected(info("room", "42"), Reason::CONNECTION_CHANGED_JOIN_SUCCESS);
      o.onUserJoined("7");
      race.lose(o);
      ASSERT_TRUE(o.recovering());
      clock.advance(100);

      clock.arm(fire_at, [&] { race.lose(o); });
      if (fire_at == 0) clock.fire_if_pending();
      race.come_back(o);
      const bool lost_after_return = clock.fire_if_pending();

      EXPECT_FALSE(o.failed());
      if (!o.recovering()) {
        EXPECT_FALSE(lost_after_return);
        EXPECT_TRUE(o.connected());
        EXPECT_EQ(owner.connects, 2) << "the completed recovery connects once";
        continue;
      }
      const uint64_t deadline = o.recovery_deadline();
      EXPECT_NE(deadline, 0u) << "recovering without a deadline can never fail";
      EXPECT_NE(deadline, ConnectionObserver::kExpired);
      EXPECT_EQ(owner.connects, lost_after_return ? 2 : 1)
          << "only a recovery that stayed complete connects";
      clock.advance(kWindow);
      o.check_recovery_deadline(clock.now());
      if (race.event_mode) {
        EXPECT_TRUE(!owner.reports.empty() && owner.reports.back().first == 15u)
            << "the deadline was judged by the policy";
      } else {
        EXPECT_TRUE(o.failed());
        EXPECT_EQ(o.failure_event(), 15u);
      }
    }
  }
}

// The same race on two real threads, with random timing. Run under
// ThreadSanitizer in CI.
TEST(ConnectionObserverRace, RandomizedLossAgainstReturn) {
  struct Counts {
    std::atomic<int> connects{0};
    std::atomic<int> failures{0};
    static void connected(void* self) { ++static_cast<Counts*>(self)->connects; }
    static void failed(void* self) { ++static_cast<Counts*>(self)->failures; }
  };
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  dovrin::testing::ManualClock clock(100000);
  for (const ReturnRace& race : kReturnRaces) {
    if (race.event_mode) continue;  // the policy's answers make no difference to the race
    SCOPED_TRACE(race.name);
    Counts counts;
    ConnectionObserver o(7, &Counts::failed, &counts, "room", 42, &Counts::connected, kWindow, nullptr,
                         false, nullptr);
    ASSERT_TRUE(o.begin());
    o.onConnected(info("room", "42"), Reason::CONNECTION_CHANGED_JOIN_SUCCESS);
    o.onUserJoined("7");
    for (int round = 0; round < 200; ++round) {
      race.lose(o);
      const int spin_return = static_cast<int>(random() % 64);
      const int spin_loss = static_cast<int>(random() % 64);
      std::atomic<int> ready{0};
      auto start = [&ready] {
        ready.fetch_add(1, std::memory_order_acq_rel);
        while (ready.load(std::memory_order_acquire) < 2) {
        }
      };
      auto spin = [](int n) {
        for (int i = 0; i < n; ++i) std::atomic_signal_fence(std::memory_order_seq_cst);
      };
      std::thread returning([&] { start(); spin(spin_return); race.come_back(o); });
      std::thread losing([&] { start(); spin(spin_loss); race.lose(o); });
      returning.join();
      losing.join();
      ASSERT_FALSE(o.failed()) << "round " << round;
      if (o.recovering()) {
        const uint64_t deadline = o.recovery_deadline();
        ASSERT_NE(deadline, 0u) << "round " << round << ": recovering without a deadline";
        ASSERT_NE(deadline, ConnectionObserver::kExpired) << "round " << round;
      }
      race.come_back(o);
      ASSERT_TRUE(o.connected()) << "round " << round;
    }
    EXPECT_EQ(counts.failures.load(), 0);
  }
}

}  // namespace
