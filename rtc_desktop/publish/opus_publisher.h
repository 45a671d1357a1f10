// Publishes one peer's local audio as Opus: resamples each 10 ms block of
// mono PCM to the encoder's rate, encodes one constant-bitrate packet and
// hands it to the SDK's encoded frame sender.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "agora_media.h"
#include "publish/encoder_settings.h"

struct OpusEncoder;

namespace dovrin::rtc_client {

namespace detail {
struct ResamplerRows;
}

// Not synchronised: one host thread at a time per publisher (its slot's
// send). Nothing after initialize allocates, locks or waits.
class OpusPublisher {
 public:
  static constexpr size_t kHistory = 64;
  static constexpr size_t kMaxFrameSamples = 960;  // 480 frames of 2 channels
  static constexpr size_t kMaxPacket = 2048;

  OpusPublisher() noexcept;
  ~OpusPublisher();
  OpusPublisher(const OpusPublisher&) = delete;
  OpusPublisher& operator=(const OpusPublisher&) = delete;

  // Creates and configures the encoder (constant bitrate, no discontinuous
  // transmission, forced channel count). False for invalid settings, for a
  // second call, and when libopus refuses or does not confirm the
  // configuration; a publisher whose initialize failed encodes nothing.
  bool initialize(const EncoderSettings& settings) noexcept;

  // Encodes one 10 ms block: count must be input_rate / 100 samples of mono
  // PCM at 16000, 24000 or 48000 Hz. Returns the packet length in bytes
  // (left in packet()), or -1 for a refused block or a packet that is not
  // exactly bitrate / 800 bytes of settings().channels and 10 ms. A refused
  // block changes nothing.
  int32_t encode(const int16_t* pcm, uint32_t count, uint32_t input_rate) noexcept;

  // Encodes the block and hands it to sender; timestamp is the block's
  // capture time in ms, expected to advance by 10 per block (any other step
  // restarts the resampler so no stale history bleeds into the new block).
  // True when the sender took the packet. A null sender is refused before
  // anything changes. Exceptions of the sender propagate.
  bool send(agora::rtc::IAudioEncodedFrameSender* sender, const int16_t* pcm, uint32_t count,
            uint32_t input_rate, int64_t timestamp);

  // The two halves of send, for a publisher whose one packet per block goes
  // to several senders. encode_block decides the resampler history from the
  // timestamp's continuity, as send does, and encodes the block: the packet
  // length, or -1 as encode answers. deliver hands the packet of the last
  // encode_block (its length) with its frame information to sender; it may
  // be called for any number of senders and changes nothing.
  int32_t encode_block(const int16_t* pcm, uint32_t count, uint32_t input_rate,
                       int64_t timestamp) noexcept;
  bool deliver(agora::rtc::IAudioEncodedFrameSender& sender, int32_t length,
               int64_t timestamp) const;

  // Whether the encoder reports back exactly the configured sample rate,
  // bitrate and forced channel count; false without an encoder.
  bool configuration_applied() const noexcept;

  const EncoderSettings& settings() const noexcept { return settings_; }
  // The encoder input of the last encoded block, interleaved: settings()
  // .sample_rate / 100 frames of settings().channels samples.
  std::span<const int16_t> frame() const noexcept;
  std::span<const uint8_t, kMaxPacket> packet() const noexcept { return packet_; }
  bool has_last_timestamp() const noexcept { return has_last_timestamp_; }
  int64_t last_timestamp() const noexcept { return last_timestamp_; }

 private:
  struct EncoderDeleter {
    void operator()(OpusEncoder* encoder) const noexcept;
  };

  void put(uint32_t frame, int16_t sample) noexcept;

  std::unique_ptr<OpusEncoder, EncoderDeleter> encoder_;
  EncoderSettings settings_;
  uint32_t input_rate_ = 0;  // 0: none yet, the next block starts without history
  std::array<int16_t, kHistory> history_{};
  std::array<int16_t, kMaxFrameSamples> pcm_{};
  std::array<uint8_t, kMaxPacket> packet_{};
  int64_t last_timestamp_ = 0;
  bool has_last_timestamp_ = false;
  bool ready_ = false;
  // Indexed like the accepted input rates 16000, 24000, 48000; null where
  // the input rate is the encoder's own and samples are copied.
  std::array<const detail::ResamplerRows*, 3> rows_{};
};

}  // namespace dovrin::rtc_client
