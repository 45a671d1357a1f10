// The IO callback must not allocate: this binary counts every operator new made on the
// calling thread.

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "audio_host/capture.h"

namespace {
thread_local long allocations = 0;
}

// The replacements pair malloc with free themselves; GCC cannot see that across them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  ++allocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

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
  const long before = allocations;
  for (int call = 0; call < 50; ++call) captureInput(&input, buffers, {});
  EXPECT_EQ(allocations - before, 0);
  EXPECT_GT(ring.held(), 0);
}

INSTANTIATE_TEST_SUITE_P(Buffers, AudioHostCallbackAllocation,
                         ::testing::Values(AllocationCase{1, 512}, AllocationCase{2, 1024}, AllocationCase{2, 20000},
                                           AllocationCase{6, 6 * 4800}, AllocationCase{1, 200000}));

}  // namespace
}  // namespace dovrin::audio_host
