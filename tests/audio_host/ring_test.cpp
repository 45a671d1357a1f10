#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <thread>
#include <vector>

#include "audio_host/capture.h"
#include "audio_host/ring.h"

namespace dovrin::audio_host {
namespace {

std::vector<float> counting(int from, int count) {
  std::vector<float> values(static_cast<std::size_t>(count));
  std::iota(values.begin(), values.end(), static_cast<float>(from));
  return values;
}

std::vector<float> drain(Ring& ring, std::int64_t max = 1 << 20) {
  std::vector<float> out(static_cast<std::size_t>(std::max<std::int64_t>(max, 1)));
  out.resize(static_cast<std::size_t>(ring.read(out.data(), max)));
  return out;
}

TEST(AudioHostRing, CapacityIsSecondsTimesRateTruncated) {
  EXPECT_EQ(Ring(2.0, 48000.0).capacity(), 96000);
  EXPECT_EQ(Ring(2.0, 44100.4).capacity(), 88200);
  EXPECT_EQ(Ring(2.0, 0.1).capacity(), 1);
}

TEST(AudioHostRing, ReadsOldestFirstUpToMax) {
  Ring ring(1.0, 10.0);
  auto values = counting(1, 6);
  ring.write(values.data(), 6);
  EXPECT_EQ(drain(ring, 4), counting(1, 4));
  EXPECT_EQ(drain(ring), counting(5, 2));
  EXPECT_TRUE(drain(ring).empty());
}

TEST(AudioHostRing, FullRingDropsAsManyOldSamplesAsAdded) {
  Ring ring(1.0, 10.0);
  auto first = counting(1, 10);
  ring.write(first.data(), 10);
  auto more = counting(11, 3);
  ring.write(more.data(), 3);
  EXPECT_EQ(ring.held(), 10);
  EXPECT_EQ(drain(ring), counting(4, 10));
}

TEST(AudioHostRing, OversizedWriteKeepsItsNewestSamples) {
  Ring ring(1.0, 10.0);
  auto old = counting(100, 4);
  ring.write(old.data(), 4);
  auto huge = counting(1, 25);
  ring.write(huge.data(), 25);
  EXPECT_EQ(drain(ring), counting(16, 10));
}

TEST(AudioHostRing, WrapsAroundTheStorage) {
  Ring ring(1.0, 8.0);
  for (int round = 0; round < 5; ++round) {
    auto values = counting(round * 5, 5);
    ring.write(values.data(), 5);
    EXPECT_EQ(drain(ring), values);
  }
}

TEST(AudioHostRing, ClosedOrEmptyWritesAddNothing) {
  Ring ring(1.0, 10.0);
  auto values = counting(1, 3);
  ring.write(values.data(), 0);
  ring.write(values.data(), -2);
  EXPECT_EQ(ring.held(), 0);
  ring.close();
  ring.write(values.data(), 3);
  EXPECT_EQ(ring.held(), 0);
}

// One producer, one consumer, stamped samples: the consumer sees them in order; the only
// ones missing are those the producer overwrote.
TEST(AudioHostRing, ConcurrentWriterAndReaderKeepOrder) {
  Ring ring(1.0, 4096.0);
  constexpr int kTotal = 200000;
  std::thread producer([&ring] {
    std::vector<float> block(64);
    for (int next = 0; next < kTotal; next += 64) {
      std::iota(block.begin(), block.end(), static_cast<float>(next));
      ring.write(block.data(), 64);
    }
  });
  std::vector<float> out(4096);
  float last = -1.0f;
  bool ordered = true;
  while (last < kTotal - 1) {
    auto n = ring.read(out.data(), 4096);
    for (std::int64_t i = 0; i < n; ++i) {
      ordered = ordered && out[static_cast<std::size_t>(i)] > last;
      last = out[static_cast<std::size_t>(i)];
    }
    if (n == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_TRUE(ordered);
}

struct ConversionCase {
  float sample;
  std::int16_t pcm;
};

class AudioHostConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(AudioHostConversion, FullScaleIsSymmetricAndTruncates) {
  EXPECT_EQ(toPcm16(GetParam().sample), GetParam().pcm) << GetParam().sample;
}

INSTANTIATE_TEST_SUITE_P(Samples, AudioHostConversion,
                         ::testing::Values(ConversionCase{1.5f, 32767}, ConversionCase{1.0f, 32767},
                                           ConversionCase{NAN, 32767}, ConversionCase{INFINITY, 32767},
                                           ConversionCase{-2.0f, -32767}, ConversionCase{-1.0f, -32767},
                                           ConversionCase{-INFINITY, -32767}, ConversionCase{0.5f, 16383},
                                           ConversionCase{-0.5f, -16383}, ConversionCase{-0.00001f, 0},
                                           ConversionCase{0.0f, 0}, ConversionCase{0.99999f, 32766}));

TEST(AudioHostWholeRate, RoundsHalvesAwayFromZero) {
  EXPECT_EQ(wholeRate(44100.4), 44100);
  EXPECT_EQ(wholeRate(44100.5), 44101);
  EXPECT_EQ(wholeRate(47999.5), 48000);
  EXPECT_EQ(wholeRate(48000.0), 48000);
}

}  // namespace
}  // namespace dovrin::audio_host
