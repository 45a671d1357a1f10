// Token renewal: the request memory, and the export with and without
// tracking through the stand-in.
#include <gtest/gtest.h>

#include <string>

#include "peers/renewal_requests.h"
#include "support/peer_fixture.h"

namespace {

using dovrin::rtc_probe::RenewalRequests;
using dovrin::testing::PeerTest;

TEST(RenewalRequests, CurrentAndReplacedRequests) {
  RenewalRequests requests;
  EXPECT_EQ(requests.issue("A", 1), 1u);
  EXPECT_EQ(requests.issue("A", 1), 1u) << "the same token is the same request";
  EXPECT_EQ(requests.issue("B", 1), 2u);
  EXPECT_EQ(requests.identify("A", 1), std::make_pair(uint64_t{1}, true));
  EXPECT_EQ(requests.identify("B", 1), std::make_pair(uint64_t{2}, false));
  EXPECT_EQ(requests.issue("C", 1), 3u);
  EXPECT_EQ(requests.identify("A", 1), std::make_pair(uint64_t{0}, false)) << "older than the replaced";
  EXPECT_EQ(requests.identify("AB", 1), std::make_pair(uint64_t{0}, false));
  requests.clear();
  EXPECT_EQ(requests.identify("C", 1), std::make_pair(uint64_t{0}, false));
  EXPECT_EQ(requests.issue("C", 1), 4u) << "identifiers survive a clear";
}

TEST(RenewalRequests, LengthsAndPrefixes) {
  RenewalRequests requests;
  const std::string longest(4096, 'x');
  EXPECT_EQ(requests.issue(nullptr, 1), 0u);
  EXPECT_EQ(requests.issue("x", 0), 0u);
  EXPECT_EQ(requests.issue(longest.c_str(), 4097), 0u);
  EXPECT_EQ(requests.issue(longest.c_str(), 4096), 1u);
  EXPECT_EQ(requests.identify(longest.c_str(), 4095).first, 0u) << "a prefix is another token";
  EXPECT_TRUE(RenewalRequests::matches("abc", 3, "abc", 3));
  EXPECT_FALSE(RenewalRequests::matches("abc", 3, "abd", 3));
  EXPECT_FALSE(RenewalRequests::matches("abc", 3, "abc", 2));
}

class Renewal : public PeerTest {
 protected:
  static loopback::Notification result(const char* token, int code) {
    loopback::Notification n;
    n.notice = loopback::Notice::renew_token_result;
    n.text = token;
    n.numbers[0] = code;
    return n;
  }
};

TEST_F(Renewal, ArgumentsAndState) {
  const std::string longest(4096, 't'), too_long(4097, 't');
  EXPECT_EQ(dovrin_rtc_desktop_renew(nullptr, 0, "t"), -1);
  EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 34, "t"), -1);
  EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 0, ""), -1);
  EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 0, too_long.c_str()), -1);
  EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 0, "t"), -2) << "empty slot";
  ASSERT_EQ(join(0), 0);
  EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 0, "t"), -2) << "still connecting";
  loopback::notify(newest_peer().connection, connected_notice());
  loopback::notify(newest_peer().connection, user_notice(loopback::Notice::user_joined, "7"));
  EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 0, longest.c_str()), 0);
  EXPECT_EQ(loopback::journal("connection.renew_token").back().text("token"), longest);
}

TEST_F(Renewal, TrackedRequestsAndTheirResults) {
  install_policy();
  policy().probe_answer = 0;  // accepts tracking
  const auto peer = established(1, true);
  ASSERT_EQ(dovrin_rtc_desktop_renew(rtc, 1, "A"), 0);
  DovrinRtcSdkEvent request = event(1, 4);
  EXPECT_EQ(request.operation, 17);
  EXPECT_EQ(request.raw_code, 0) << "a successful tracked call is recorded too";
  EXPECT_EQ(request.context_flags, 4);
  EXPECT_EQ(request.request_id, 1u);
  EXPECT_EQ(event(1, 2).sequence, 0u) << "a tracked call is not a renewal record";

  ASSERT_EQ(dovrin_rtc_desktop_renew(rtc, 1, "A"), 0);
  EXPECT_EQ(event(1, 4).request_id, 1u) << "the same token again";
  ASSERT_EQ(dovrin_rtc_desktop_renew(rtc, 1, "B"), 0);
  EXPECT_EQ(event(1, 4).request_id, 2u);

  struct Case {
    const char* token;
    uint16_t flags;
    uint64_t request;
  } cases[] = {{"A", 12, 1}, {"B", 4, 2}};
  for (const Case& c : cases) {
    loopback::notify(peer.connection, result(c.token, 0));
    const DovrinRtcSdkEvent latest = event(1, 0);
    EXPECT_EQ(latest.operation, 11) << c.token;
    EXPECT_EQ(latest.category, 3) << c.token;
    EXPECT_EQ(latest.context_flags, c.flags) << c.token;
    EXPECT_EQ(latest.request_id, c.request) << c.token;
  }
  EXPECT_EQ(event(1, 2).request_id, 2u) << "only the current request's result is a renewal record";

  ASSERT_EQ(dovrin_rtc_desktop_renew(rtc, 1, "C"), 0);
  loopback::notify(peer.connection, result("A", 0));
  EXPECT_EQ(event(1, 0).request_id, 0u) << "A is no longer known";
  EXPECT_EQ(event(1, 0).context_flags, 4);

  policy().action = 3;
  loopback::notify(peer.connection, result("C", 5));
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 1), -2) << "a fatal answer fails the connection";
  EXPECT_EQ(event(1, 1).operation, 11);
}

TEST_F(Renewal, UntrackedRefusalGoesThroughTheFailedCallPath) {
  install_policy();
  policy().probe_answer = 1;  // declines tracking
  policy().action = 1;
  established(2, true);
  ASSERT_EQ(dovrin_rtc_desktop_renew(rtc, 2, "A"), 0);
  EXPECT_EQ(event(2, 0).sequence, 0u) << "an untracked success records nothing";
  loopback::fail_with("connection.renew_token", 6);
  EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 2, "B"), -3);
  const DovrinRtcSdkEvent renewal = event(2, 2);
  EXPECT_EQ(renewal.operation, 17);
  EXPECT_EQ(renewal.category, 4);
  EXPECT_EQ(renewal.raw_code, 6);
  EXPECT_EQ(renewal.context_flags, 2);
  EXPECT_EQ(renewal.request_id, renewal.sequence);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 2), 1) << "tolerated";
}

TEST_F(Renewal, PlainJoinRefusalFailsTheSlot) {
  established(0);
  loopback::fail_with("connection.renew_token", 6);
  EXPECT_EQ(dovrin_rtc_desktop_renew(rtc, 0, "B"), -3);
  EXPECT_EQ(dovrin_rtc_desktop_status(rtc, 0), -2);
}

TEST_F(Renewal, LateResultAfterLeaveIsIgnored) {
  install_policy();
  policy().probe_answer = 0;
  established(3, true);
  ASSERT_EQ(dovrin_rtc_desktop_renew(rtc, 3, "A"), 0);
  auto* observer = loopback::connection_observers_ever().back().observer;
  ASSERT_EQ(dovrin_rtc_desktop_leave(rtc, 3), 0);
  const size_t recorded = policy().events().size();
  EXPECT_TRUE(loopback::notify_observer(observer, result("A", 0)));
  EXPECT_EQ(policy().events().size(), recorded);
}

}  // namespace
