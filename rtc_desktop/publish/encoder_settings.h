// The encoder configuration a runtime hands to every Opus publisher it
// creates at join.
#pragma once

#include <cstdint>

namespace dovrin::rtc_client {

struct EncoderSettings {
  uint32_t sample_rate = 16000;  // Hz
  uint32_t bitrate = 32000;      // bit/s
  uint32_t channels = 1;

  // The bitrate must be a multiple of 4000 so that a 10 ms constant-bitrate
  // packet is a whole number of bytes (bitrate / 800) the publisher can
  // check every packet against.
  constexpr bool valid() const noexcept {
    const bool rate = sample_rate == 8000 || sample_rate == 12000 || sample_rate == 16000 ||
                      sample_rate == 24000 || sample_rate == 48000;
    const bool rate_of_bits = bitrate >= 8000 && bitrate <= 128000 && bitrate % 4000 == 0;
    return rate && rate_of_bits && (channels == 1 || channels == 2);
  }

  constexpr bool operator==(const EncoderSettings&) const noexcept = default;
};

}  // namespace dovrin::rtc_client
