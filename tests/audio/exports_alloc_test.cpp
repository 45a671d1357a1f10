// The library's audio paths as the SDK reaches them, end to end through the
// stand-in: capture through the sink and Runtime::capture, playback from the
// ring and through Runtime::render, remote frames through RemoteAudio. None
// of them may allocate on the SDK's thread.
#include <gtest/gtest.h>

#include <array>

#include "support/allocation_counter.h"
#include "support/peer_fixture.h"

namespace {

using dovrin::testing::allocations_during;
using dovrin::testing::PeerTest;

int render(void*, int16_t* samples, size_t frames) {
  for (size_t i = 0; i < 2 * frames; ++i) samples[i] = 1;
  return static_cast<int>(frames);
}

class ExportsAllocation : public PeerTest {};

TEST_F(ExportsAllocation, CounterSeesAllocations) {
  EXPECT_EQ(allocations_during([] { ::operator delete(::operator new(16)); }), 1u);
}

TEST_F(ExportsAllocation, SdkCallbacksNeverAllocate) {
  const auto peer = established(0);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 1), 0);
  const auto frame = dovrin::testing::capture_frame(5);
  std::array<int16_t, 960> playback{};
  std::array<int16_t, 480> remote{};
  loopback::FrameFormat mono;
  mono.channels = 1;
  const std::array<int16_t, 960> block{};
  ASSERT_EQ(dovrin_rtc_desktop_play(rtc, block.data(), 480), 0);

  const size_t allocations = allocations_during([&] {
    for (int i = 0; i < 10; ++i) {
      loopback::push_pcm(capture_track, frame);
      loopback::pull_playback(local_user, loopback::FrameFormat{}, playback);
      loopback::deliver_before_mixing_text(peer.local_user, nullptr, "7", mono, remote);
      loopback::deliver_before_mixing_text(peer.local_user, nullptr, "8", mono, remote);
    }
  });
  EXPECT_EQ(allocations, 0u);
  DovrinRtcAudioBlock out;
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 0, &out), 1) << "the capture path ran";
  EXPECT_EQ(dovrin_rtc_desktop_poll(rtc, 1, &out), 1) << "the remote path ran";
}

TEST_F(ExportsAllocation, RenderBridgeNeverAllocates) {
  destroy();
  int context = 0;
  create(&render, &context);
  ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 1), 0);
  std::array<int16_t, 960> playback{};
  const size_t allocations = allocations_during([&] {
    for (int i = 0; i < 10; ++i) loopback::pull_playback(local_user, loopback::FrameFormat{}, playback);
  });
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(playback[959], 1) << "the host's render callback filled the frame";
}

}  // namespace
