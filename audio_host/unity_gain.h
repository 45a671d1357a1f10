#pragma once
// Unity-gain mode: find a device by name (or, for the application's own devices, by UID),
// raise its input and output volume to 1.0 and clear their mutes, and report.

#include <cstdint>
#include <optional>
#include <string>

#include "dovrin/platform/audio_system.h"

namespace dovrin::audio_host {

struct ScopeState {
  float scalar = 1.0f;
  bool muted = false;
};

// Volumes at or above this count as unity and are left alone (NaN too).
inline constexpr float kUnityThreshold = 0.999f;

std::optional<platform::ObjectId> findDevice(const std::string& needle);
std::optional<std::string> deviceName(platform::ObjectId device);
std::optional<float> readScalar(platform::ObjectId device, std::uint32_t scope);
bool readMute(platform::ObjectId device, std::uint32_t scope);
bool writeScalar(platform::ObjectId device, std::uint32_t scope, float value);
bool writeMute(platform::ObjectId device, std::uint32_t scope, bool muted);

int runEnsureUnityGain(const std::string& needle);
int runStandin(const std::string& name, float scalar);
// The report line on standard output; returns 1 (after the failure event) when failed. A
// volume that is no number (NaN, infinite) is reported as 0, keeping the line valid JSON.
int reportGain(const std::string& name, float before, float after, bool changed, bool unmuted, bool failed);

}  // namespace dovrin::audio_host
