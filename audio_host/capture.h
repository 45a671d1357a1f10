#pragma once
// Capture mode: a process tap in a private aggregate device, an IO callback that mixes
// its input down to mono into a Ring, and writer passes on the main thread that turn the
// ring into 16-bit PCM on standard output at wall-clock pace.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio_host/capture_flags.h"
#include "audio_host/discovery.h"
#include "audio_host/ring.h"
#include "dovrin/platform/audio_system.h"

namespace dovrin::audio_host {

inline constexpr const char* kCaptureName = "Dovrin Capture";

struct InputFormat {
  double rate = 0.0;
  std::uint32_t channels = 1;
};

// processes present: a mono mixdown of exactly those; absent: a stereo tap of everything
// but `excluding`.
platform::TapDescription tapDescription(const std::optional<std::vector<ObjectId>>& processes,
                                        const std::string& uuid, const std::vector<ObjectId>& excluding);
// Retargets a running tap to a new description (the arguments of tapDescription).
platform::Status setTapProcesses(ObjectId tap, const std::optional<std::vector<ObjectId>>& processes,
                                 const std::string& uuid, const std::vector<ObjectId>& excluding);
platform::AggregateDeviceDescription aggregateDescription(const std::string& uid, const std::string& tapUuid);
std::optional<InputFormat> inputFormat(ObjectId device);

// The rate rounded to the nearest integer, halves away from zero.
std::int64_t wholeRate(double rate);
// Full scale is 32767 both ways; NaN counts as full scale.
std::int16_t toPcm16(float sample);

// What the IO callback holds; built on the main thread before the device starts.
struct CaptureInput {
  CaptureInput(std::uint32_t channelCount, CaptureFlags& captureFlags, Ring& captureRing);
  std::uint32_t channels;
  CaptureFlags* flags;
  Ring* ring;
  std::vector<float> mono;  // mixdown room, so the callback never allocates
};

// The IO callback (platform::IoProc), with a CaptureInput as context.
void captureInput(void* context, std::span<const platform::AudioBuffer> input,
                  std::span<platform::AudioBuffer> output);

// Exit status: 0 after a stop or once the target is gone, 1 when start-up fails.
int runCapture(std::optional<std::int32_t> pid, const PidSet& excluding);

}  // namespace dovrin::audio_host
