#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "audio_host/capture.h"
#include "host_world.h"

namespace dovrin::audio_host::testing {
namespace {

using platform::AudioBuffer;

// The IO callback on its own: which buffer it takes, how it mixes down, what it flags.
class AudioHostCaptureInput : public HostWorld {
 protected:
  // The flags take their start time from the clock, so they follow the world's installation.
  void SetUp() override {
    HostWorld::SetUp();
    flags.emplace();
  }
  void deliver(std::uint32_t channels, std::vector<AudioBuffer> buffers) {
    CaptureInput input(channels, *flags, ring);
    captureInput(&input, buffers, {});
  }
  std::vector<float> taken() {
    std::vector<float> out(static_cast<std::size_t>(ring.capacity()));
    out.resize(static_cast<std::size_t>(ring.read(out.data(), ring.capacity())));
    return out;
  }
  // Seen a non-zero sample? Past the 3 s grace, the warning candidate says no exactly then.
  bool sawNonZero() {
    world.sleep(3.5);
    return !flags->warningCandidate();
  }
  static AudioBuffer buffer(std::vector<float>& samples, std::uint32_t channels = 1) {
    return AudioBuffer{channels, static_cast<std::uint32_t>(samples.size() * 4), samples.data()};
  }

  Ring ring{2.0, 48000.0};
  std::optional<CaptureFlags> flags;
};

struct MixCase {
  std::uint32_t channels;
  std::vector<float> input;
  std::vector<float> mono;
};

class AudioHostMixdown : public AudioHostCaptureInput, public ::testing::WithParamInterface<MixCase> {};

TEST_P(AudioHostMixdown, MeanOfEachFrameInChannelOrder) {
  auto samples = GetParam().input;
  deliver(GetParam().channels, {buffer(samples)});
  EXPECT_EQ(taken(), GetParam().mono);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, AudioHostMixdown,
    ::testing::Values(MixCase{0, {0.25f, -0.5f}, {0.25f, -0.5f}}, MixCase{1, {0.25f, -0.5f, 1.5f}, {0.25f, -0.5f, 1.5f}},
                      MixCase{2, {0.5f, 0.25f, -1.0f, 0.0f}, {0.375f, -0.5f}},
                      MixCase{2, {0.5f, 0.25f, 0.75f}, {0.375f}}, MixCase{2, {0.5f}, {}},
                      MixCase{3, {0.3f, 0.3f, 0.3f, 0.6f, 0.0f, 0.0f, -0.9f, 0.0f, 0.0f, 1.0f},
                              {(0.3f + 0.3f + 0.3f) / 3.0f, (0.6f + 0.0f + 0.0f) / 3.0f, (-0.9f + 0.0f + 0.0f) / 3.0f}}));

TEST_F(AudioHostCaptureInput, TakesTheFirstUsableBufferOnly) {
  std::vector<float> ignoredShort{0.9f};
  std::vector<float> used{0.125f, 0.25f};
  std::vector<float> second{0.5f, 0.5f};
  AudioBuffer empty{1, 16, nullptr};
  AudioBuffer tooSmall{1, 3, ignoredShort.data()};
  deliver(1, {empty, tooSmall, buffer(used), buffer(second)});
  EXPECT_EQ(taken(), used);
}

TEST_F(AudioHostCaptureInput, TrailingBytesAreIgnored) {
  std::vector<float> samples{0.125f, 0.25f, 0.5f};
  deliver(1, {AudioBuffer{1, 11, samples.data()}});
  EXPECT_EQ(taken(), (std::vector<float>{0.125f, 0.25f}));
}

TEST_F(AudioHostCaptureInput, NoUsableBufferDoesNothing) {
  std::vector<float> samples{0.5f};
  deliver(1, {AudioBuffer{1, 4, nullptr}, AudioBuffer{1, 2, samples.data()}});
  deliver(1, {});
  EXPECT_TRUE(taken().empty());
  EXPECT_FALSE(sawNonZero());
}

TEST_F(AudioHostCaptureInput, BuffersLongerThanTheMixRoomArriveWhole) {
  std::vector<float> stereo(2 * 10000);
  for (std::size_t i = 0; i < stereo.size(); ++i) stereo[i] = static_cast<float>(i / 2) / 16384.0f;
  deliver(2, {buffer(stereo)});
  auto mono = taken();
  ASSERT_EQ(mono.size(), 10000u);
  for (std::size_t i = 0; i < mono.size(); ++i) ASSERT_EQ(mono[i], static_cast<float>(i) / 16384.0f) << i;
}

struct FlagCase {
  std::uint32_t channels;
  std::vector<float> input;
  bool nonZero;
};

class AudioHostNonZeroFlag : public AudioHostCaptureInput, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(AudioHostNonZeroFlag, SetByAnyNonZeroMonoSample) {
  auto samples = GetParam().input;
  deliver(GetParam().channels, {buffer(samples)});
  EXPECT_EQ(sawNonZero(), GetParam().nonZero);
}

INSTANTIATE_TEST_SUITE_P(Buffers, AudioHostNonZeroFlag,
                         ::testing::Values(FlagCase{1, {0.0f, 0.0f}, false}, FlagCase{1, {0.0f, -0.0f, 1e-30f}, true},
                                           FlagCase{1, {NAN}, true}, FlagCase{2, {0.5f, -0.5f}, false},
                                           FlagCase{2, {0.0f, NAN}, true}, FlagCase{3, {0.0f, 0.0f, 0.25f}, true},
                                           FlagCase{3, {0.0f, 0.0f, 0.0f, 0.7f}, false}));

}  // namespace
}  // namespace dovrin::audio_host::testing
