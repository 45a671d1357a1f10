#include "audio/ring.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "audio/block.h"
#include "audio_test_support.h"

namespace dovrin::rtc_probe {
namespace {

using testing::read_stamp;
using testing::seq_of;
using testing::stamped_block;

using SmallRing = Ring<Block, 20>;

TEST(RingTest, HoldsCapacityThenRefusesUntilPopped) {
  auto ring = std::make_unique<SmallRing>();
  for (uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(ring->push(stamped_block(1, 2, i), 20)) << i;
  EXPECT_EQ(ring->size(), 20u);
  EXPECT_FALSE(ring->push(stamped_block(1, 2, 20), 1000)) << "one slot always stays empty";

  Block out;
  ASSERT_TRUE(ring->pop(out));
  EXPECT_EQ(seq_of(out), 0u);
  EXPECT_TRUE(ring->push(stamped_block(1, 2, 20), 20));
  EXPECT_FALSE(ring->push(stamped_block(1, 2, 21), 20));
  EXPECT_EQ(ring->size(), 20u);
}

TEST(RingTest, LimitRefusesWhileRoomRemains) {
  auto ring = std::make_unique<SmallRing>();
  for (uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(ring->push(stamped_block(1, 2, i), 5));
  EXPECT_FALSE(ring->push(stamped_block(1, 2, 5), 5));
  EXPECT_FALSE(ring->push(stamped_block(1, 2, 5), 0));
  EXPECT_TRUE(ring->push(stamped_block(1, 2, 5), 6));
  EXPECT_EQ(ring->size(), 6u);
}

TEST(RingTest, PopOnEmptyLeavesCallersBlockUnchanged) {
  auto ring = std::make_unique<SmallRing>();
  Block out = stamped_block(9, 1, 77);
  out.uid = 5;
  EXPECT_FALSE(ring->pop(out));
  EXPECT_EQ(out.epoch, 9u);
  EXPECT_EQ(out.uid, 5u);
  EXPECT_EQ(seq_of(out), 77u);

  ASSERT_TRUE(ring->push(stamped_block(1, 1, 1), 20));
  ASSERT_TRUE(ring->pop(out));
  out = stamped_block(9, 1, 78);
  EXPECT_FALSE(ring->pop(out)) << "drained again";
  EXPECT_EQ(seq_of(out), 78u);
}

TEST(RingTest, NewRingAndDefaultBlockAreZero) {
  auto ring = std::make_unique<SmallRing>();
  EXPECT_EQ(ring->size(), 0u);
  const Block block;
  EXPECT_EQ(block.epoch | block.gap_sequence | block.uid | block.rtp_timestamp | block.channels, 0u);
  EXPECT_EQ(block.presentation_ms | block.render_time_ms, 0);
  for (int16_t s : block.samples) ASSERT_EQ(s, 0);
}

// Alternating pushes and pops at several fill levels walk both indices
// around the 21 slots many times.
TEST(RingTest, IndicesWrapKeepingOrder) {
  auto ring = std::make_unique<SmallRing>();
  for (uint32_t fill : {0u, 7u, 19u}) {
    uint32_t next_in = 0;
    uint32_t next_out = 0;
    for (; next_in < fill; ++next_in) ASSERT_TRUE(ring->push(stamped_block(1, 2, next_in), 20));
    for (int i = 0; i < 1000; ++i) {
      ASSERT_TRUE(ring->push(stamped_block(1, 2, next_in++), 20));
      Block out;
      ASSERT_TRUE(ring->pop(out));
      ASSERT_EQ(seq_of(out), next_out++) << "fill " << fill << " step " << i;
      ASSERT_EQ(ring->size(), fill);
    }
    Block out;
    while (ring->pop(out)) ASSERT_EQ(seq_of(out), next_out++);
    EXPECT_EQ(next_out, next_in);
  }
}

// One producer and one consumer thread: every block arrives once, in order,
// untorn; both sides agree on a checksum of what crossed.
TEST(RingTest, TwoThreadsDeliverEveryBlockInOrder) {
  constexpr uint32_t kBlocks = 20000;
  auto ring = std::make_unique<SmallRing>();
  uint64_t produced_sum = 0;

  std::thread producer([&] {
    for (uint32_t seq = 0; seq < kBlocks; ++seq) {
      Block block = stamped_block(seq, 2, seq);
      block.uid = seq * 3u;
      while (!ring->push(block, 20)) std::this_thread::yield();
      produced_sum += seq * 3u + seq;
    }
  });

  uint64_t consumed_sum = 0;
  uint32_t expected = 0;
  bool torn = false;
  Block out;
  while (expected < kBlocks) {
    if (!ring->pop(out)) {
      std::this_thread::yield();
      continue;
    }
    uint32_t seq = 0;
    torn = torn || !read_stamp(out.samples, kBlockSamples, seq) || out.epoch != seq ||
           out.uid != seq * 3u;
    ASSERT_EQ(seq, expected) << "out of order";
    consumed_sum += out.uid + seq;
    ++expected;
  }
  producer.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(consumed_sum, produced_sum);
  EXPECT_EQ(ring->size(), 0u);
}

class RingTakeCurrentTest : public ::testing::Test {
 protected:
  std::unique_ptr<DuplexObserver> observer = testing::runtime_observer();
  std::unique_ptr<SmallRing> ring = std::make_unique<SmallRing>();
};

TEST_F(RingTakeCurrentTest, SkipsOlderGenerations) {
  ASSERT_TRUE(observer->authorize(3, true, true));
  for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(ring->push(stamped_block(2, 1, i), 20));
  ASSERT_TRUE(ring->push(stamped_block(3, 1, 3), 20));
  ASSERT_TRUE(ring->push(stamped_block(3, 1, 4), 20));

  Block out;
  ASSERT_TRUE(observer->take_current(*ring, out, DuplexObserver::kCaptureBit));
  EXPECT_EQ(out.epoch, 3u);
  EXPECT_EQ(seq_of(out), 3u);
  EXPECT_EQ(observer->stats().stale_blocks, 3u);
  EXPECT_EQ(ring->size(), 1u) << "the next current block stays queued";
}

TEST_F(RingTakeCurrentTest, ClearedSwitchDiscardsAtMostCapacity) {
  ASSERT_TRUE(observer->authorize(2, false, true));
  for (uint32_t i = 0; i < 20; ++i) ASSERT_TRUE(ring->push(stamped_block(2, 1, i), 20));
  Block out;
  EXPECT_FALSE(observer->take_current(*ring, out, DuplexObserver::kCaptureBit));
  EXPECT_EQ(observer->stats().stale_blocks, 20u);
  EXPECT_EQ(ring->size(), 0u);
  EXPECT_FALSE(observer->take_current(*ring, out, DuplexObserver::kCaptureBit));
  EXPECT_EQ(observer->stats().stale_blocks, 20u) << "an empty ring counts nothing";
}

}  // namespace
}  // namespace dovrin::rtc_probe
