#include "audio_host/unity_gain.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "audio_host/discovery.h"
#include "audio_host/entry.h"
#include "dovrin/platform/streams.h"

namespace dovrin::audio_host {

namespace selector = platform::selector;
namespace scope = platform::scope;
using platform::kOk;
using platform::ObjectId;

namespace {

// The application's own virtual devices are known by UID: their names are free for users
// to change, or to imitate.
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kKnownDevices{{
    {"DovrinVirtualMic", "DovrinVirtualMic2ch_UID"},
    {"DovrinMeetingBus", "DovrinMeetingBus2ch_UID"},
}};

platform::PropertyAddress scoped(std::uint32_t selector, std::uint32_t scope) {
  return platform::PropertyAddress{selector, scope, platform::kMainElement};
}

std::optional<std::string> stringProperty(ObjectId device, std::uint32_t selector) {
  platform::StringRef reference = nullptr;
  std::uint32_t size = sizeof reference;
  if (platform::getPropertyData(device, globalAddress(selector), &size, &reference) != kOk || reference == nullptr)
    return std::nullopt;
  auto text = platform::stringText(reference);
  platform::releaseString(reference);
  return text;
}

template <class T>
std::optional<T> readValue(ObjectId device, std::uint32_t selector, std::uint32_t scope) {
  T value{};
  std::uint32_t size = sizeof value;
  if (platform::getPropertyData(device, scoped(selector, scope), &size, &value) != kOk) return std::nullopt;
  return value;
}

template <class T>
bool writeValue(ObjectId device, std::uint32_t selector, std::uint32_t scope, T value) {
  return platform::setPropertyData(device, scoped(selector, scope), sizeof value, &value) == kOk;
}

std::string fourDecimals(float value) {
  char text[64];
  auto [end, error] = std::to_chars(text, text + sizeof text, static_cast<double>(value), std::chars_format::fixed, 4);
  return error == std::errc() ? std::string(text, end) : std::string("0.0000");
}

std::string_view boolText(bool value) { return value ? "true" : "false"; }

// A volume that is not a number, or infinite, is no volume at all: such a
// device is not at unity, so it is raised like a silent one and reported at
// 0, which keeps the report a valid JSON line.
float usableVolume(float value) { return std::isfinite(value) ? value : 0.0f; }

}  // namespace

std::optional<ObjectId> findDevice(const std::string& needle) {
  const auto devices = objectIDs(selector::devices);
  for (const auto& [name, uid] : kKnownDevices) {
    if (needle != name) continue;
    for (ObjectId device : devices) {
      if (stringProperty(device, selector::deviceUid) == uid) return device;
    }
    return std::nullopt;
  }
  if (needle.empty()) return std::nullopt;
  for (ObjectId device : devices) {
    if (deviceName(device).value_or("").find(needle) != std::string::npos) return device;
  }
  return std::nullopt;
}

std::optional<std::string> deviceName(ObjectId device) { return stringProperty(device, selector::name); }

std::optional<float> readScalar(ObjectId device, std::uint32_t scope) {
  const auto value = readValue<float>(device, selector::volumeScalar, scope);
  if (!value) return std::nullopt;
  return usableVolume(*value);
}

bool readMute(ObjectId device, std::uint32_t scope) {
  return readValue<std::uint32_t>(device, selector::mute, scope).value_or(0) != 0;
}

bool writeScalar(ObjectId device, std::uint32_t scope, float value) {
  return writeValue(device, selector::volumeScalar, scope, value);
}

bool writeMute(ObjectId device, std::uint32_t scope, bool muted) {
  return writeValue(device, selector::mute, scope, std::uint32_t{muted ? 1u : 0u});
}

int runEnsureUnityGain(const std::string& needle) {
  const auto device = findDevice(needle);
  if (!device) {
    constexpr std::string_view notFound = "{\"found\":false}\n";
    (void)platform::writeStandardOutput(notFound.data(), notFound.size());
    return 0;
  }
  const auto inputVolume = readScalar(*device, scope::input);
  const auto outputVolume = readScalar(*device, scope::output);
  const auto inputMute = readValue<std::uint32_t>(*device, selector::mute, scope::input);
  const auto outputMute = readValue<std::uint32_t>(*device, selector::mute, scope::output);

  bool changed = false;
  bool failed = false;
  for (auto [volume, side] : {std::pair{inputVolume, scope::input}, std::pair{outputVolume, scope::output}}) {
    if (!volume || !(*volume < kUnityThreshold)) continue;
    (writeScalar(*device, side, 1.0f) ? changed : failed) = true;
  }

  bool unmuted = false;
  const bool inputMuted = inputMute.value_or(0) != 0;
  const bool outputMuted = outputMute.value_or(0) != 0;
  // Unmuting the output alone would open the device while its input stays silent; after a
  // failed input unmute the output is left as it was.
  if (inputMuted) {
    if (!writeMute(*device, scope::input, false)) {
      failed = true;
    } else if (outputMuted) {
      unmuted = writeMute(*device, scope::output, false);
      failed = failed || !unmuted;
    } else {
      unmuted = true;
    }
  } else if (outputMuted) {
    unmuted = writeMute(*device, scope::output, false);
    failed = failed || !unmuted;
  }

  const float before = inputVolume.value_or(outputVolume.value_or(1.0f));
  auto after = readScalar(*device, scope::input);
  if (!after) after = readScalar(*device, scope::output);
  const std::string name = deviceName(*device).value_or(needle);
  return reportGain(name, before, after.value_or(before), changed, unmuted, failed);
}

int runStandin(const std::string& name, float requested) {
  const float scalar = usableVolume(requested);
  const bool changed = scalar < kUnityThreshold;
  return reportGain(name, scalar, changed ? 1.0f : scalar, changed, false, false);
}

int reportGain(const std::string& name, float before, float after, bool changed, bool unmuted, bool failed) {
  // The serialiser escapes quotes, backslashes and control characters, and stands in for
  // bytes that are not UTF-8, so the line stays valid JSON whatever the device is called.
  const std::string quotedName = nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string line = "{\"found\":true,\"name\":" + quotedName;
  line.append(",\"changed\":").append(boolText(changed));
  line.append(",\"before\":").append(fourDecimals(usableVolume(before)));
  line.append(",\"after\":").append(fourDecimals(usableVolume(after)));
  line.append(",\"unmuted\":").append(boolText(unmuted)).append("}\n");
  (void)platform::writeStandardOutput(line.data(), line.size());
  if (!failed) return 0;
  emitError("volume_write_failed");
  return 1;
}

}  // namespace dovrin::audio_host
