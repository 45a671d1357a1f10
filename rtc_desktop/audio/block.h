// One 10 ms block of 48 kHz 16-bit PCM, the unit in which audio crosses
// between the SDK's audio threads and the host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dovrin::rtc_probe {

inline constexpr uint32_t kBlockSampleRate = 48000;
inline constexpr uint32_t kBlockFrames = 480;
inline constexpr uint32_t kBlockMaxChannels = 2;
// Storage for the widest block (stereo); mono blocks use the first half.
inline constexpr size_t kBlockSamples = size_t{kBlockFrames} * kBlockMaxChannels;
inline constexpr uint32_t kBlockMs = kBlockFrames * 1000 / kBlockSampleRate;
static_assert(kBlockMs == 10);

// A plain value, copied into and out of ring slots. A default block is all
// zero, samples included, so samples beyond channels * frames stay silent.
struct Block {
  uint64_t epoch = 0;         // authorisation generation it was produced under
  uint64_t gap_sequence = 0;  // capture gap events counted when it was made (budgeted capture)
  uint32_t uid = 0;           // remote user id; 0 for local audio
  uint32_t rtp_timestamp = 0;
  int64_t presentation_ms = 0;
  int64_t render_time_ms = 0;  // for local capture: the PCM frame's capture timestamp
  uint32_t channels = 0;
  int16_t samples[kBlockSamples] = {};
};

}  // namespace dovrin::rtc_probe
