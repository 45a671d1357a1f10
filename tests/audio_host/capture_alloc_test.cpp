// The IO callback must not allocate: this program counts the heap allocations
// of the calling thread while the callback runs.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "audio_host/capture.h"
#include "support/allocation_counter.h"

namespace dovrin::audio_host {
namespace {

struct AllocationCase {
  std::uint32_t channels;
  std::size_t floats;
};

class AudioHostCallbackAllocation : public ::testing::TestWithParam<AllocationCase> {};

TEST_P(AudioHostCallbackAllocation, NoneWhateverTheBuffer) {
  Ring ring(2.0, 48000.0);
  CaptureFlags flags;
  CaptureInput input(GetParam().channels, flags, ring);
  std::vector<float> samples(GetParam().floats, 0.25f);
  const std::vector<platform::AudioBuffer> buffers{
      {GetParam().channels, static_cast<std::uint32_t>(samples.size() * 4), samples.data()}};
  const size_t allocations = dovrin::testing::allocations_during([&] {
    for (int call = 0; call < 50; ++call) captureInput(&input, buffers, {});
  });
  EXPECT_EQ(allocations, 0u);
  EXPECT_GT(ring.held(), 0);
}

INSTANTIATE_TEST_SUITE_P(Buffers, AudioHostCallbackAllocation,
                         ::testing::Values(AllocationCase{1, 512}, AllocationCase{2, 1024}, AllocationCase{2, 20000},
                                           AllocationCase{6, 6 * 4800}, AllocationCase{1, 200000}));

}  // namespace
}  // namespace dovrin::audio_host
