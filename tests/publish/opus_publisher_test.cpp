#include "publish/opus_publisher.h"

#include <gtest/gtest.h>
#include <opus.h>

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "publish/literal_resampler.h"
#include "publish/resampler.h"
#include "support/allocation_counter.h"
#include "support/recording_sender.h"

namespace {

using dovrin::rtc_client::EncoderSettings;
using dovrin::rtc_client::OpusPublisher;
using dovrin::rtc_client::detail::resample;
using dovrin::rtc_client::detail::resampler_rows;
using dovrin::rtc_client::detail::ResamplerRows;
using dovrin::rtc_client::testing::literal_resample;
using dovrin::rtc_client::testing::literal_value;
using dovrin::testing::RecordingSender;
using Block = std::vector<int16_t>;

constexpr uint32_t kEncoderRates[] = {8000, 12000, 16000, 24000, 48000};
constexpr uint32_t kInputRates[] = {16000, 24000, 48000};
constexpr size_t kHistory = 64;

// A fixed seed replays a failure; otherwise every run explores new blocks.
uint32_t test_seed() {
  if (const char* text = std::getenv("DOVRIN_TEST_SEED")) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
  }
  return std::random_device{}();
}

Block noise(std::mt19937& rng, uint32_t count) {
  std::uniform_int_distribution<int> sample(-32768, 32767);
  Block block(count);
  for (auto& s : block) s = static_cast<int16_t>(sample(rng));
  return block;
}

Block tone(uint32_t rate, double hz, double amplitude, uint64_t start) {
  Block block(rate / 100);
  for (size_t i = 0; i < block.size(); ++i) {
    const double t = static_cast<double>(start + i) / rate;
    block[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * t)));
  }
  return block;
}

Block expected_frame(const std::array<int16_t, kHistory>& history, const Block& block,
                     uint32_t input_rate, uint32_t encoder_rate) {
  Block out(encoder_rate / 100);
  literal_resample(history.data(), block.data(), static_cast<uint32_t>(block.size()), input_rate,
                   encoder_rate, out.data());
  return out;
}

std::array<int16_t, kHistory> tail(const Block& block) {
  std::array<int16_t, kHistory> history{};
  std::copy(block.end() - kHistory, block.end(), history.begin());
  return history;
}

Block mono(const OpusPublisher& publisher) {
  auto frame = publisher.frame();
  return Block(frame.begin(), frame.end());
}

std::string describe(const EncoderSettings& s) {
  return std::to_string(s.sample_rate) + " Hz, " + std::to_string(s.bitrate) + " bit/s, " +
         std::to_string(s.channels) + " ch";
}

// ---------------------------------------------------------------------------

TEST(EncoderSettingsTest, DefaultsAreSixteenKilohertzMonoAt32000) {
  const EncoderSettings settings;
  EXPECT_EQ(16000u, settings.sample_rate);
  EXPECT_EQ(32000u, settings.bitrate);
  EXPECT_EQ(1u, settings.channels);
  EXPECT_TRUE(settings.valid());
}

TEST(EncoderSettingsTest, ValidatesRatesBitratesAndChannels) {
  struct Case {
    EncoderSettings settings;
    bool valid;
  };
  std::vector<Case> cases;
  for (uint32_t bitrate = 8000; bitrate <= 128000; bitrate += 4000) {
    cases.push_back({{16000, bitrate, 1}, true});
  }
  for (uint32_t rate : kEncoderRates) {
    for (uint32_t channels : {1u, 2u}) cases.push_back({{rate, 32000, channels}, true});
  }
  for (uint32_t bitrate : {0u, 4000u, 7999u, 8001u, 30000u, 127999u, 130000u, 132000u}) {
    cases.push_back({{16000, bitrate, 1}, false});
  }
  for (uint32_t rate : {0u, 11025u, 16001u, 22050u, 32000u, 44100u, 96000u}) {
    cases.push_back({{rate, 32000, 1}, false});
  }
  for (uint32_t channels : {0u, 3u}) cases.push_back({{16000, 32000, channels}, false});

  for (const Case& c : cases) {
    EXPECT_EQ(c.valid, c.settings.valid()) << describe(c.settings);
  }
}

// ---------------------------------------------------------------------------

// Every test draws from rng; a failure names the seed that replays it.
class OpusPublisherTest : public ::testing::Test {
 protected:
  const uint32_t seed = test_seed();
  std::mt19937 rng{seed};
  ::testing::ScopedTrace trace{__FILE__, __LINE__,
                               "seed " + std::to_string(seed) + " (DOVRIN_TEST_SEED replays it)"};
};

TEST_F(OpusPublisherTest, InitializesOnceAndConfirmsTheConfiguration) {
  OpusPublisher publisher;
  EXPECT_FALSE(publisher.configuration_applied());
  const EncoderSettings settings{24000, 48000, 2};
  ASSERT_TRUE(publisher.initialize(settings));
  EXPECT_TRUE(publisher.configuration_applied());
  EXPECT_EQ(settings, publisher.settings());

  EXPECT_FALSE(publisher.initialize(settings));
  EXPECT_FALSE(publisher.initialize(EncoderSettings{}));
  EXPECT_EQ(settings, publisher.settings());
  EXPECT_TRUE(publisher.configuration_applied());
}

TEST_F(OpusPublisherTest, InvalidSettingsLeaveThePublisherIdle) {
  const Block block(480, 1000);
  for (const EncoderSettings& settings :
       {EncoderSettings{44100, 32000, 1}, EncoderSettings{16000, 30000, 1},
        EncoderSettings{16000, 32000, 3}}) {
    OpusPublisher publisher;
    EXPECT_FALSE(publisher.initialize(settings)) << describe(settings);
    EXPECT_FALSE(publisher.configuration_applied());
    EXPECT_EQ(-1, publisher.encode(block.data(), 480, 48000));
    EXPECT_TRUE(publisher.initialize(EncoderSettings{})) << "refused settings use up nothing";
  }
}

TEST_F(OpusPublisherTest, PacketsHaveTheConstantBitrateSizeChannelsAndDuration) {
  struct Case {
    uint32_t input_rate;
    EncoderSettings settings;
    int32_t bytes;
  };
  const Case cases[] = {
      {48000, {16000, 32000, 1}, 40}, {48000, {8000, 8000, 1}, 10},
      {16000, {12000, 64000, 2}, 80}, {24000, {24000, 96000, 1}, 120},
      {16000, {48000, 128000, 2}, 160}, {48000, {48000, 8000, 2}, 10},
      {24000, {8000, 128000, 2}, 160},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.input_rate) + " Hz into " + describe(c.settings));
    OpusPublisher publisher;
    ASSERT_TRUE(publisher.initialize(c.settings));
    const int frames = static_cast<int>(c.settings.sample_rate / 100);
    for (int i = 0; i < 6; ++i) {
      // Tone, silence and noise: constant bitrate means the size never moves.
      const Block block = i % 3 == 0   ? tone(c.input_rate, 700, 9000, i * c.input_rate / 100)
                          : i % 3 == 1 ? Block(c.input_rate / 100, 0)
                                       : noise(rng, c.input_rate / 100);
      ASSERT_EQ(c.bytes, publisher.encode(block.data(), c.input_rate / 100, c.input_rate));
      EXPECT_EQ(publisher.frame().size(), static_cast<size_t>(frames) * c.settings.channels);
      const uint8_t* packet = publisher.packet().data();
      EXPECT_EQ(static_cast<int>(c.settings.channels), opus_packet_get_nb_channels(packet));
      EXPECT_EQ(frames, opus_packet_get_nb_samples(packet, c.bytes,
                                                   static_cast<opus_int32>(c.settings.sample_rate)));
    }
  }
}

TEST_F(OpusPublisherTest, RefusedBlocksChangeNothing) {
  struct Case {
    uint32_t rate;
    uint32_t count;
    bool null;
  };
  const Case cases[] = {{44100, 441, false}, {48000, 479, false}, {48000, 481, false},
                        {16000, 480, false}, {8000, 80, false},   {12000, 120, false},
                        {0, 0, false},       {48000, 480, true},  {16000, 160, true}};
  const Block first = noise(rng, 480);
  const Block second = noise(rng, 480);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + " samples at " + std::to_string(c.rate) +
                 (c.null ? " from null" : ""));
    OpusPublisher refused;
    OpusPublisher plain;
    // 12 kHz resamples every accepted input, so history carries into every block.
    ASSERT_TRUE(refused.initialize({12000, 32000, 1}));
    ASSERT_TRUE(plain.initialize({12000, 32000, 1}));
    ASSERT_GT(refused.encode(first.data(), 480, 48000), 0);
    ASSERT_GT(plain.encode(first.data(), 480, 48000), 0);

    const Block bad(std::max<uint32_t>(c.count, 1), 12345);
    EXPECT_EQ(-1, refused.encode(c.null ? nullptr : bad.data(), c.count, c.rate));

    const int32_t length = refused.encode(second.data(), 480, 48000);
    ASSERT_EQ(plain.encode(second.data(), 480, 48000), length);
    EXPECT_EQ(mono(plain), mono(refused));
    EXPECT_TRUE(std::equal(plain.packet().begin(), plain.packet().begin() + length,
                           refused.packet().begin()));
  }
}

TEST_F(OpusPublisherTest, IdlePublisherEncodesAndSendsNothing) {
  OpusPublisher publisher;
  RecordingSender sender;
  const Block block(160, 100);
  EXPECT_EQ(-1, publisher.encode(block.data(), 160, 16000));
  EXPECT_FALSE(publisher.send(&sender, block.data(), 160, 16000, 0));
  EXPECT_TRUE(sender.packets.empty());
}

TEST_F(OpusPublisherTest, InputAtTheEncoderRateIsCopiedSampleForSample) {
  for (uint32_t rate : kInputRates) {
    SCOPED_TRACE(rate);
    OpusPublisher publisher;
    ASSERT_TRUE(publisher.initialize({rate, 32000, 1}));
    for (int i = 0; i < 3; ++i) {
      const Block block = noise(rng, rate / 100);
      ASSERT_GT(publisher.encode(block.data(), rate / 100, rate), 0);
      EXPECT_EQ(block, mono(publisher));
    }
  }
}

TEST_F(OpusPublisherTest, StereoEncoderGetsTheMonoSignalOnBothChannels) {
  for (uint32_t input_rate : {16000u, 48000u}) {
    SCOPED_TRACE(input_rate);
    OpusPublisher stereo;
    OpusPublisher single;
    ASSERT_TRUE(stereo.initialize({16000, 64000, 2}));
    ASSERT_TRUE(single.initialize({16000, 64000, 1}));
    for (int i = 0; i < 3; ++i) {
      const Block block = noise(rng, input_rate / 100);
      ASSERT_GT(stereo.encode(block.data(), input_rate / 100, input_rate), 0);
      ASSERT_GT(single.encode(block.data(), input_rate / 100, input_rate), 0);
      const auto both = stereo.frame();
      const auto one = single.frame();
      ASSERT_EQ(both.size(), 2 * one.size());
      for (size_t n = 0; n < one.size(); ++n) {
        ASSERT_EQ(one[n], both[2 * n]) << n;
        ASSERT_EQ(one[n], both[2 * n + 1]) << n;
      }
    }
  }
}

// Frequency of a decoded tone from its rising zero crossings.
double rising_crossings_hz(const std::vector<int16_t>& interleaved, int channels, uint32_t rate) {
  int crossings = 0;
  size_t first = 0;
  size_t last = 0;
  for (size_t i = static_cast<size_t>(channels); i < interleaved.size();
       i += static_cast<size_t>(channels)) {
    if (interleaved[i - static_cast<size_t>(channels)] < 0 && interleaved[i] >= 0) {
      if (crossings == 0) first = i;
      last = i;
      ++crossings;
    }
  }
  if (crossings < 2) return 0.0;
  const double seconds = static_cast<double>((last - first) / static_cast<size_t>(channels)) / rate;
  return (crossings - 1) / seconds;
}

TEST_F(OpusPublisherTest, DecodedPacketsCarryTheTone) {
  struct Case {
    uint32_t input_rate;
    EncoderSettings settings;
    double hz;
  };
  const Case cases[] = {
      {48000, {16000, 32000, 1}, 1000},
      {16000, {48000, 64000, 2}, 440},
      {24000, {8000, 16000, 1}, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.hz) + " Hz at " + std::to_string(c.input_rate) + " into " +
                 describe(c.settings));
    OpusPublisher publisher;
    RecordingSender sender;
    ASSERT_TRUE(publisher.initialize(c.settings));
    int error = OPUS_OK;
    const int channels = static_cast<int>(c.settings.channels);
    OpusDecoder* decoder =
        opus_decoder_create(static_cast<opus_int32>(c.settings.sample_rate), channels, &error);
    ASSERT_EQ(OPUS_OK, error);

    constexpr int kBlocks = 40;
    constexpr int kWarmUp = 10;
    std::vector<int16_t> decoded;
    std::vector<int16_t> frame(OpusPublisher::kMaxFrameSamples);
    for (int i = 0; i < kBlocks; ++i) {
      const uint32_t count = c.input_rate / 100;
      const Block block = tone(c.input_rate, c.hz, 12000, static_cast<uint64_t>(i) * count);
      ASSERT_TRUE(publisher.send(&sender, block.data(), count, c.input_rate, 10 * i));
      const auto& packet = sender.packets.back();
      const int samples = opus_decode(decoder, packet.data(), static_cast<opus_int32>(packet.size()),
                                      frame.data(), static_cast<int>(c.settings.sample_rate / 100), 0);
      ASSERT_EQ(static_cast<int>(c.settings.sample_rate / 100), samples);
      if (i >= kWarmUp) decoded.insert(decoded.end(), frame.begin(), frame.begin() + samples * channels);
    }
    opus_decoder_destroy(decoder);

    for (int channel = 0; channel < channels; ++channel) {
      const std::vector<int16_t> view(decoded.begin() + channel, decoded.end());
      EXPECT_NEAR(c.hz, rising_crossings_hz(view, channels, c.settings.sample_rate), c.hz * 0.02)
          << "channel " << channel;
    }
  }
}

TEST_F(OpusPublisherTest, InputRateChangeClearsTheHistory) {
  for (uint32_t first_rate : kInputRates) {
    SCOPED_TRACE(first_rate);
    OpusPublisher publisher;
    ASSERT_TRUE(publisher.initialize({12000, 32000, 1}));
    const Block first = noise(rng, first_rate / 100);
    const Block second = noise(rng, 160);
    ASSERT_GT(publisher.encode(first.data(), first_rate / 100, first_rate), 0);
    ASSERT_GT(publisher.encode(second.data(), 160, 16000), 0);
    const std::array<int16_t, kHistory> history =
        first_rate == 16000 ? tail(first) : std::array<int16_t, kHistory>{};
    EXPECT_EQ(expected_frame(history, second, 16000, 12000), mono(publisher));
  }
}

TEST_F(OpusPublisherTest, TimestampsDecideWhetherTheHistoryCarriesOver) {
  constexpr int64_t kMax = INT64_MAX;
  struct Case {
    std::vector<int64_t> timestamps;
    bool kept;       // whether the last block continues the one before
    int refused_at;  // a block sent with a wrong length, or -1
  };
  const Case cases[] = {
      {{0, 10, 20}, true, -1},
      {{0, 10, 30}, false, -1},
      {{0, 10, 10}, false, -1},
      {{20, 10}, false, -1},
      {{-20, -10, 0}, true, -1},
      {{0, 10, 20}, true, 1},  // a refused block still advances the timestamp
      {{kMax - 20, kMax - 10, kMax}, true, -1},
      {{kMax - 9, INT64_MIN}, false, -1},  // what the successor would wrap to
      {{kMax, INT64_MIN + 9}, false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case ending at " + std::to_string(c.timestamps.back()));
    OpusPublisher publisher;
    RecordingSender sender;
    ASSERT_TRUE(publisher.initialize(EncoderSettings{}));
    Block previous;
    Block last;
    for (size_t i = 0; i < c.timestamps.size(); ++i) {
      const Block block = noise(rng, 480);
      const bool refused = static_cast<int>(i) == c.refused_at;
      EXPECT_EQ(!refused,
                publisher.send(&sender, block.data(), refused ? 479 : 480, 48000, c.timestamps[i]));
      if (!refused) {
        previous = last;
        last = block;
      }
    }
    EXPECT_TRUE(publisher.has_last_timestamp());
    EXPECT_EQ(c.timestamps.back(), publisher.last_timestamp());
    const std::array<int16_t, kHistory> history =
        c.kept ? tail(previous) : std::array<int16_t, kHistory>{};
    EXPECT_EQ(expected_frame(history, last, 48000, 16000), mono(publisher));
  }
}

TEST_F(OpusPublisherTest, SendDescribesThePacketAndReturnsTheSendersAnswer) {
  struct Case {
    EncoderSettings settings;
    bool accept;
    int64_t timestamp;
  };
  const Case cases[] = {
      {{16000, 32000, 1}, true, 12340},
      {{48000, 64000, 2}, false, 0},
      {{8000, 8000, 1}, true, 4294967295},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.settings));
    OpusPublisher publisher;
    RecordingSender sender;
    sender.accept = c.accept;
    ASSERT_TRUE(publisher.initialize(c.settings));
    const Block block = tone(48000, 500, 8000, 0);
    EXPECT_EQ(c.accept, publisher.send(&sender, block.data(), 480, 48000, c.timestamp));

    ASSERT_EQ(1u, sender.packets.size());
    const auto& packet = sender.packets[0];
    EXPECT_EQ(c.settings.bitrate / 800, packet.size());
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), publisher.packet().begin()));
    const agora::rtc::EncodedAudioFrameInfo& info = sender.infos[0];
    EXPECT_EQ(1, info.codec);
    EXPECT_EQ(static_cast<int>(c.settings.sample_rate), info.sampleRateHz);
    EXPECT_EQ(static_cast<int>(c.settings.sample_rate / 100), info.samplesPerChannel);
    EXPECT_EQ(static_cast<int>(c.settings.channels), info.numberOfChannels);
    EXPECT_EQ(c.timestamp, info.captureTimeMs);
    EXPECT_TRUE(info.advancedSettings.speech);
    EXPECT_TRUE(info.advancedSettings.sendEvenIfEmpty);
  }
}

TEST_F(OpusPublisherTest, OneEncodingDeliveredToManySendersIsWhatSendMakes) {
  const Block first = tone(48000, 500, 8000, 0);
  const Block second = tone(48000, 500, 8000, 480);
  OpusPublisher shared;
  OpusPublisher own;
  ASSERT_TRUE(shared.initialize({}));
  ASSERT_TRUE(own.initialize({}));
  RecordingSender a;
  RecordingSender b;
  RecordingSender reference;
  for (const auto& [block, timestamp] : {std::pair{&first, int64_t{100}}, std::pair{&second, int64_t{110}}}) {
    const int32_t length = shared.encode_block(block->data(), 480, 48000, timestamp);
    ASSERT_EQ(length, 40);
    EXPECT_TRUE(shared.deliver(a, length, timestamp));
    EXPECT_TRUE(shared.deliver(b, length, timestamp));
    EXPECT_TRUE(own.send(&reference, block->data(), 480, 48000, timestamp));
  }
  EXPECT_EQ(a.packets, reference.packets);
  EXPECT_EQ(b.packets, reference.packets);
  ASSERT_EQ(b.infos.size(), 2u);
  EXPECT_EQ(b.infos[1].captureTimeMs, 110);
  EXPECT_EQ(b.infos[1].samplesPerChannel, 160);
  // No packet, or one longer than the buffer, is never handed over.
  EXPECT_FALSE(shared.deliver(a, 0, 120));
  EXPECT_FALSE(shared.deliver(a, static_cast<int32_t>(OpusPublisher::kMaxPacket) + 1, 120));
  EXPECT_EQ(a.calls, 2);
  EXPECT_EQ(shared.encode_block(first.data(), 479, 48000, 120), -1) << "a refused block";
}

TEST_F(OpusPublisherTest, PublishingBlocksAllocatesNothing) {
  std::vector<Block> blocks;
  for (uint32_t rate : kInputRates) blocks.push_back(noise(rng, rate / 100));
  OpusPublisher publisher;
  RecordingSender sender;
  sender.record = false;
  ASSERT_TRUE(publisher.initialize({24000, 32000, 2}));
  bool sent = true;
  const size_t allocations = dovrin::testing::allocations_during([&] {
    for (int i = 0; i < 30; ++i) {
      // Every input rate, and now and then a timestamp gap.
      const Block& block = blocks[static_cast<size_t>(i) % blocks.size()];
      sent = publisher.send(&sender, block.data(), static_cast<uint32_t>(block.size()),
                            static_cast<uint32_t>(block.size() * 100), 10 * (i + i / 7)) && sent;
    }
  });
  EXPECT_TRUE(sent);
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(30, sender.calls);
}

TEST_F(OpusPublisherTest, SendWithoutSenderChangesNothing) {
  OpusPublisher publisher;
  ASSERT_TRUE(publisher.initialize(EncoderSettings{}));
  const Block block(480, 100);
  EXPECT_FALSE(publisher.send(nullptr, block.data(), 480, 48000, 0));
  EXPECT_FALSE(publisher.has_last_timestamp());
}

// ---------------------------------------------------------------------------
// The precomputed resampler against the formula evaluated term by term, over
// every input rate into one encoder rate per instance, with rate switches
// and timestamp gaps deciding the history as they do for the publisher.

class Reference {
 public:
  explicit Reference(uint32_t encoder_rate) : encoder_rate_(encoder_rate) {}

  Block send(const Block& block, uint32_t rate, int64_t timestamp) {
    if (has_timestamp_ && (timestamp_ > INT64_MAX - 10 || timestamp != timestamp_ + 10)) rate_ = 0;
    timestamp_ = timestamp;
    has_timestamp_ = true;
    if (rate != rate_) {
      rate_ = rate;
      history_.fill(0);
    }
    Block out = expected_frame(history_, block, rate, encoder_rate_);
    history_ = tail(block);
    return out;
  }

 private:
  uint32_t encoder_rate_;
  uint32_t rate_ = 0;
  std::array<int16_t, kHistory> history_{};
  int64_t timestamp_ = 0;
  bool has_timestamp_ = false;
};

Block edge_block(std::mt19937& rng, uint32_t count) {
  std::uniform_int_distribution<int> kind(0, 8);
  std::uniform_int_distribution<int> small(-3, 3);
  std::uniform_int_distribution<uint32_t> position(0, count - 1);
  std::uniform_int_distribution<uint32_t> period(1, 40);
  Block block(count, 0);
  switch (kind(rng)) {
    case 0:
      return noise(rng, count);
    case 1:
      break;  // silence
    case 2:
      std::fill(block.begin(), block.end(), int16_t{32767});
      break;
    case 3:
      std::fill(block.begin(), block.end(), int16_t{-32768});
      break;
    case 4:
      for (size_t i = 0; i < count; ++i) block[i] = i % 2 ? int16_t{-32768} : int16_t{32767};
      break;
    case 5: {  // full-scale square wave: overshoots, so the clamp is exercised
      const uint32_t half = period(rng);
      for (size_t i = 0; i < count; ++i) block[i] = (i / half) % 2 ? int16_t{-32768} : int16_t{32767};
      break;
    }
    case 6:  // near zero: rounding of halves and signs
      for (auto& s : block) s = static_cast<int16_t>(small(rng));
      break;
    case 7:
      block[position(rng)] = position(rng) % 2 ? int16_t{32767} : int16_t{-32768};
      break;
    default: {  // noise with full-scale extremes sprinkled in
      block = noise(rng, count);
      for (int i = 0; i < 20; ++i) block[position(rng)] = i % 2 ? int16_t{32767} : int16_t{-32768};
      break;
    }
  }
  return block;
}

// Below the rounding to 16 bits, where a changed order of summation or a
// reciprocal in place of the division would hide: every double equals the
// term-by-term one.
using OpusPublisherResampler = OpusPublisherTest;

TEST_F(OpusPublisherResampler, ValuesAreBitIdenticalToTheTermByTermFormula) {
  std::array<double, ResamplerRows::kMaxFrames> values{};
  for (uint32_t input_rate : kInputRates) {
    for (uint32_t output_rate : kEncoderRates) {
      const ResamplerRows* rows = resampler_rows(input_rate, output_rate);
      if (input_rate == output_rate) {
        EXPECT_EQ(nullptr, rows);
        continue;
      }
      ASSERT_NE(nullptr, rows);
      ASSERT_EQ(output_rate / 100, rows->frames);
      for (int i = 0; i < 4; ++i) {
        const Block history = edge_block(rng, kHistory);
        const Block block = edge_block(rng, input_rate / 100);
        resample(*rows, history.data(), block.data(), values.data());
        for (uint32_t n = 0; n < rows->frames; ++n) {
          const double expected = literal_value(history.data(), block.data(), rows->count,
                                                input_rate, output_rate, n);
          ASSERT_EQ(std::bit_cast<uint64_t>(expected), std::bit_cast<uint64_t>(values[n]))
              << input_rate << " to " << output_rate << ", sample " << n << ": " << expected
              << " vs " << values[n];
        }
      }
    }
  }
}

TEST_F(OpusPublisherResampler, RowsAreBuiltOnceAndSharedAcrossThreads) {
  EXPECT_EQ(nullptr, resampler_rows(44100, 16000));
  EXPECT_EQ(nullptr, resampler_rows(48000, 44100));
  const ResamplerRows* seen[2] = {};
  std::thread other([&] { seen[0] = resampler_rows(24000, 12000); });
  seen[1] = resampler_rows(24000, 12000);
  other.join();
  ASSERT_NE(nullptr, seen[0]);
  EXPECT_EQ(seen[0], seen[1]);
}

class OpusPublisherExactness : public OpusPublisherTest,
                                public ::testing::WithParamInterface<uint32_t> {};

TEST_P(OpusPublisherExactness, MatchesTheFormulaEvaluatedTermByTerm) {
  const uint32_t encoder_rate = GetParam();
  OpusPublisher publisher;
  RecordingSender sender;
  sender.record = false;
  ASSERT_TRUE(publisher.initialize({encoder_rate, 32000, 1}));
  Reference reference(encoder_rate);

  // The term-by-term evaluation costs 192 trigonometric calls per output
  // sample; bound the work per instance so sanitizer builds stay quick.
  const int blocks = static_cast<int>(48000 * 160 / encoder_rate);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<size_t> pick(0, std::size(kInputRates) - 1);
  uint32_t rate = kInputRates[pick(rng)];
  int64_t timestamp = 0;
  for (int i = 0; i < blocks; ++i) {
    const int roll = percent(rng);
    if (roll < 10) rate = kInputRates[pick(rng)];
    timestamp += roll < 5 ? 0 : roll >= 95 ? 30 : 10;
    const Block block = edge_block(rng, rate / 100);
    ASSERT_TRUE(publisher.send(&sender, block.data(), rate / 100, rate, timestamp));
    const Block expected = reference.send(block, rate, timestamp);
    const auto frame = publisher.frame();
    ASSERT_EQ(expected.size(), frame.size());
    for (size_t n = 0; n < expected.size(); ++n) {
      ASSERT_EQ(expected[n], frame[n]) << "block " << i << " at " << rate << " Hz, sample " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EncoderRates, OpusPublisherExactness, ::testing::ValuesIn(kEncoderRates),
                         [](const ::testing::TestParamInfo<uint32_t>& rate) {
                           return "To" + std::to_string(rate.param);
                         });

}  // namespace
