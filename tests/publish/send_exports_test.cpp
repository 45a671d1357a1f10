// Encoder configuration and the send path through the C interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "publish/opus_publisher.h"
#include "support/peer_fixture.h"
#include "support/recording_sender.h"

namespace {

using dovrin::testing::PeerTest;

class SendExports : public PeerTest {
 protected:
  static std::array<int16_t, 480> block48(int16_t value = 100) {
    std::array<int16_t, 480> pcm;
    pcm.fill(value);
    return pcm;
  }
};

TEST_F(SendExports, AudioConfigTable) {
  EXPECT_EQ(dovrin_rtc_desktop_audio_config(nullptr, 16000, 32000, 1), -2);
  struct Case {
    uint32_t rate, bitrate, channels;
    int32_t result;
  } cases[] = {{16000, 30000, 1, -1}, {16000, 130000, 1, -1}, {44100, 32000, 1, -1},
               {16000, 32000, 3, -1}, {16000, 32000, 0, -1},  {8000, 8000, 1, 0},
               {48000, 128000, 2, 0}, {16000, 32000, 1, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(dovrin_rtc_desktop_audio_config(rtc, c.rate, c.bitrate, c.channels), c.result)
        << c.rate << " " << c.bitrate << " " << c.channels;
  }
  ASSERT_EQ(join(0), 0);
  EXPECT_EQ(dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1), 0) << "the same values while joined";
  EXPECT_EQ(dovrin_rtc_desktop_audio_config(rtc, 16000, 36000, 1), -4);
}

TEST_F(SendExports, ArgumentLimits) {
  const auto pcm = block48();
  struct Case {
    uint32_t slot, samples, rate;
    int64_t timestamp;
    int32_t result;
  } cases[] = {{34, 480, 48000, 0, -1},          {0, 441, 44100, 0, -1},
               {0, 479, 48000, 0, -1},           {0, 480, 48000, -1, -1},
               {0, 480, 48000, 4294967296, -1},  {0, 480, 48000, 4294967295, -2},
               {0, 160, 16000, 0, -2},           {0, 240, 24000, 0, -2}};
  for (const Case& c : cases) {
    EXPECT_EQ(dovrin_rtc_desktop_send(rtc, c.slot, pcm.data(), c.samples, c.rate, c.timestamp), c.result)
        << c.slot << " " << c.samples << " " << c.rate << " " << c.timestamp;
  }
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, nullptr, 480, 48000, 0), -1);
}

TEST_F(SendExports, PcmSendCarriesTheFrameInformation) {
  established(0);
  const auto pcm = block48(-77);
  loopback::clear_journal();
  ASSERT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 1230), 0);
  const auto sends = loopback::journal("pcm_sender.send");
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].num("capture_timestamp"), 0);
  EXPECT_EQ(sends[0].num("presentation_ms"), 1230);
  EXPECT_EQ(sends[0].num("samples_per_channel"), 480);
  EXPECT_EQ(sends[0].num("bytes_per_sample"), 2);
  EXPECT_EQ(sends[0].num("channels"), 1);
  EXPECT_EQ(sends[0].num("sample_rate"), 48000);
  EXPECT_EQ(sends[0].num("sample_0"), -77);
  EXPECT_EQ(sends[0].num("checksum"), loopback::checksum(pcm.data(), sizeof pcm));
}

TEST_F(SendExports, NotReadyAndRecovering) {
  const auto pcm = block48();
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), -2) << "empty slot";
  ASSERT_EQ(join(0), 0);
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), -2) << "still connecting";
  const auto peer = newest_peer();
  loopback::notify(peer.connection, connected_notice());
  loopback::notify(peer.connection, user_notice(loopback::Notice::user_joined, "7"));
  loopback::Notification lost;
  lost.notice = loopback::Notice::connection_lost;
  loopback::notify(peer.connection, lost);
  loopback::clear_journal();
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), 1);
  EXPECT_TRUE(loopback::journal("pcm_sender.send").empty()) << "nothing sent while recovering";
}

TEST_F(SendExports, RefusedPcmSendUnderPolicy) {
  struct Case {
    uint32_t action;
    int32_t first, next;
  } cases[] = {{0, 1, 1}, {1, 1, 1}, {2, -3, -3}, {3, -3, -2}};
  const auto pcm = block48();
  for (const Case& c : cases) {
    restart_with_policy(c.action);
    established(0, true);
    loopback::fail_with("pcm_sender.send", 8, loopback::kAlways);
    EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), c.first) << c.action;
    EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 10), c.next) << c.action;
    const DovrinRtcSdkEvent latest = event(0, 0);
    EXPECT_EQ(latest.operation, 18);
    EXPECT_EQ(latest.category, 4);
    EXPECT_EQ(latest.raw_code, 8);
    EXPECT_EQ(latest.context_flags, 2);
    loopback::clear_faults();
  }
}

TEST_F(SendExports, PlainJoinFailsAtTheFirstRefusedSend) {
  established(0);
  const auto pcm = block48();
  loopback::fail_with("pcm_sender.send", 8);
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), -3);
  EXPECT_EQ(event(0, 1).action, 4);
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 10), -2);
}

TEST_F(SendExports, ExceptionLatchesTheRuntime) {
  established(0);
  const auto pcm = block48();
  loopback::throw_from("pcm_sender.send");
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), -3);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(dovrin_rtc_desktop_tick(rtc), -2);
  ::testing::internal::GetCapturedStderr();
}

class OpusSend : public SendExports {
 protected:
  void SetUp() override {
    SendExports::SetUp();
    ASSERT_EQ(dovrin_rtc_desktop_audio_config(rtc, 16000, 32000, 1), 0);
  }
};

TEST_F(OpusSend, JoinPublishesAnEncodedTrackAndStillMakesAPcmSender) {
  loopback::clear_journal();
  ASSERT_EQ(join(0), 0);
  const auto ops = loopback::journal_ops();
  EXPECT_NE(std::find(ops.begin(), ops.end(), "factory.create_pcm_sender"), ops.end());
  EXPECT_NE(std::find(ops.begin(), ops.end(), "factory.create_encoded_sender"), ops.end());
  EXPECT_EQ(std::find(ops.begin(), ops.end(), "track.enable_local_playback"), ops.end())
      << "local playback is switched only in PCM mode";
  const auto track = loopback::journal("service.create_encoded_audio_track").at(0);
  EXPECT_EQ(track.num("mix_mode"), 1);
  const auto published = loopback::local_user_state(newest_peer().local_user)->published;
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(loopback::tracks(loopback::TrackSource::encoded).at(0).id, published[0]);
}

TEST_F(OpusSend, PacketsCarryTheirFrameInformation) {
  established(0);
  loopback::clear_journal();
  // A 1 kHz tone at 48 kHz, continuous across blocks.
  std::vector<int16_t> tone(480 * 20);
  for (size_t i = 0; i < tone.size(); ++i) {
    tone[i] = static_cast<int16_t>(std::lround(12000.0 * std::sin(2.0 * M_PI * 1000.0 * i / 48000.0)));
  }
  for (int b = 0; b < 20; ++b) {
    ASSERT_EQ(dovrin_rtc_desktop_send(rtc, 0, tone.data() + 480 * b, 480, 48000, 1000 + 10 * b), 0) << b;
  }
  const auto sends = loopback::journal("encoded_sender.send");
  ASSERT_EQ(sends.size(), 20u);
  for (size_t b = 0; b < sends.size(); ++b) {
    EXPECT_EQ(sends[b].num("payload_size"), 40);
    EXPECT_EQ(sends[b].num("codec"), 1);
    EXPECT_EQ(sends[b].num("sample_rate"), 16000);
    EXPECT_EQ(sends[b].num("samples_per_channel"), 160);
    EXPECT_EQ(sends[b].num("channels"), 1);
    EXPECT_EQ(sends[b].num("capture_time_ms"), static_cast<int64_t>(1000 + 10 * b));
    EXPECT_EQ(sends[b].num("speech"), 1);
    EXPECT_EQ(sends[b].num("send_even_if_empty"), 1);
  }
}

TEST_F(OpusSend, RefusedPacketIsOperationTwenty) {
  install_policy();
  policy().action = 1;
  established(0, true);
  const auto pcm = block48();
  loopback::fail_with("encoded_sender.send", 1);
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, pcm.data(), 480, 48000, 0), 1);
  const DovrinRtcSdkEvent latest = event(0, 0);
  EXPECT_EQ(latest.operation, 20);
  EXPECT_EQ(latest.category, 5);
  EXPECT_EQ(latest.raw_code, -3);
}

TEST_F(OpusSend, RecoveringLeavesThePublishersTimestampAlone) {
  std::vector<int16_t> tone(960);
  for (size_t i = 0; i < tone.size(); ++i) {
    tone[i] = static_cast<int16_t>(std::lround(9000.0 * std::sin(2.0 * M_PI * 700.0 * i / 48000.0)));
  }
  const auto peer = established(0);
  loopback::clear_journal();
  ASSERT_EQ(dovrin_rtc_desktop_send(rtc, 0, tone.data(), 480, 48000, 0), 0);
  loopback::Notification lost;
  lost.notice = loopback::Notice::connection_lost;
  loopback::notify(peer.connection, lost);
  EXPECT_EQ(dovrin_rtc_desktop_send(rtc, 0, tone.data() + 480, 480, 48000, 10), 1);
  loopback::Notification back = connected_notice();
  back.notice = loopback::Notice::reconnected;
  loopback::notify(peer.connection, back);
  ASSERT_EQ(dovrin_rtc_desktop_send(rtc, 0, tone.data() + 480, 480, 48000, 10), 0);

  // A publisher that never saw the dropped block: 0 then 10 are contiguous,
  // so the second block is resampled with the first one's history.
  dovrin::rtc_client::OpusPublisher reference;
  ASSERT_TRUE(reference.initialize({}));
  dovrin::testing::RecordingSender sender;
  ASSERT_TRUE(reference.send(&sender, tone.data(), 480, 48000, 0));
  ASSERT_TRUE(reference.send(&sender, tone.data() + 480, 480, 48000, 10));
  const auto sends = loopback::journal("encoded_sender.send");
  ASSERT_EQ(sends.size(), 2u);
  ASSERT_EQ(sender.packets.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(sends[i].num("checksum"), loopback::checksum(sender.packets[i].data(), sender.packets[i].size()));
  }
}

}  // namespace
