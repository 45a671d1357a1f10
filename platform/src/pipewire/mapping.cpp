#include "mapping.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace dovrin::platform::pipewire {

namespace {
// Each synthesised range spans 2^28 ids.
constexpr ObjectId kRangeMask = 0xF0000000;
constexpr ObjectId kRangeSpan = 0x10000000;
}  // namespace

IdKind kindOf(ObjectId id) {
  switch (id & kRangeMask) {
    case kProcessBase: return IdKind::process;
    case kDeviceBase: return IdKind::device;
    case kTapBase: return IdKind::tap;
    case kAggregateBase: return IdKind::aggregate;
    case kStreamBase: return IdKind::stream;
    default: return IdKind::none;
  }
}

ObjectId processObjectOf(std::int32_t pid) {
  if (pid < 1 || static_cast<ObjectId>(pid) >= kRangeSpan) return 0;
  return kProcessBase + static_cast<ObjectId>(pid);
}

std::optional<std::int32_t> pidOfProcessObject(ObjectId id) {
  if (kindOf(id) != IdKind::process || id == kProcessBase) return std::nullopt;
  return static_cast<std::int32_t>(id - kProcessBase);
}

ObjectId deviceObjectOf(std::uint64_t serial) {
  return kDeviceBase + static_cast<ObjectId>(serial % kRangeSpan);
}

std::optional<std::int32_t> parsePid(std::string_view text) {
  std::int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1) return std::nullopt;
  return value;
}

std::optional<std::int32_t> attributePid(const PidSources& sources) {
  if (sources.clientApi == "pipewire-pulse") return sources.nodeProcessId ? sources.nodeProcessId : sources.clientProcessId;
  if (sources.clientSecPid) return sources.clientSecPid;
  // A stream made inside the daemon or a module has no peer; what it says is all there is.
  return sources.nodeProcessId ? sources.nodeProcessId : sources.clientProcessId;
}

unsigned captureChannelsFor(std::string_view channel) {
  // FL, SL, RL, TFL... end in L; FR, SR, RR, TFR... in R; FC, LFE, MONO, AUX0 in neither.
  if (channel.size() >= 2 && channel.back() == 'L') return kLeft;
  if (channel.size() >= 2 && channel.back() == 'R') return kRight;
  return kLeft | kRight;
}

float cubicVolume(float master, std::span<const float> channels) {
  const float loudest = channels.empty() ? 1.0f : *std::max_element(channels.begin(), channels.end());
  return std::cbrt(master * loudest);
}

float linearVolume(float cubic) { return cubic * cubic * cubic; }

bool isDeviceClass(std::string_view mediaClass) {
  return mediaClass == "Audio/Sink" || mediaClass == "Audio/Source" || mediaClass == "Audio/Source/Virtual" ||
         mediaClass == "Audio/Duplex";
}

PropsSide propsSideFor(std::string_view mediaClass, std::uint32_t scope) {
  if (mediaClass == "Audio/Sink") {
    if (scope == scope::output) return PropsSide::channel;
    if (scope == scope::input) return PropsSide::monitor;
    return PropsSide::none;
  }
  if (mediaClass == "Audio/Source" || mediaClass == "Audio/Source/Virtual")
    return scope == scope::input ? PropsSide::channel : PropsSide::none;
  if (mediaClass == "Audio/Duplex")
    return scope == scope::input || scope == scope::output ? PropsSide::channel : PropsSide::none;
  return PropsSide::none;
}

StreamFormat captureFormat() {
  StreamFormat format;
  format.sampleRate = 48000.0;
  format.formatId = fourCc("lpcm");
  format.formatFlags = 1u | 8u;  // float, packed
  format.bytesPerPacket = 8;
  format.framesPerPacket = 1;
  format.bytesPerFrame = 8;
  format.channelsPerFrame = 2;
  format.bitsPerChannel = 32;
  return format;
}

ApplicationLabel applicationLabel(const ApplicationNames& names) {
  auto present = [](const std::optional<std::string>& text) { return text && !text->empty(); };
  ApplicationLabel result;
  if (present(names.nodeName)) result.label = names.nodeName;
  else if (present(names.clientName)) result.label = names.clientName;
  else if (present(names.commandName)) result.label = names.commandName;
  if (present(names.applicationId)) result.exe = names.applicationId;
  else if (present(names.processBinary)) result.exe = names.processBinary;
  return result;
}

}  // namespace dovrin::platform::pipewire
