#pragma once
// The PipeWire backend's pure decisions, kept apart from libpipewire so that they build
// and are tested under the project's full warning set: object id ranges, which process a
// stream belongs to, which capture channel an output port feeds, the volume scale, and
// which Props members stand for a device's input and output side.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "dovrin/platform/audio_system.h"

namespace dovrin::platform::pipewire {

// PipeWire has clients (connections) and nodes (streams, devices), not processes, and it
// reuses node ids. The ids this backend hands out are synthesised into separate ranges so
// that an id alone says which kind of object it names; a process object's id is derived
// from its pid, so it survives the stream coming and going.
enum class IdKind { none, process, device, tap, aggregate, stream };
inline constexpr ObjectId kProcessBase = 0x10000000;
inline constexpr ObjectId kDeviceBase = 0x20000000;
inline constexpr ObjectId kTapBase = 0x30000000;
inline constexpr ObjectId kAggregateBase = 0x40000000;
inline constexpr ObjectId kStreamBase = 0x50000000;

IdKind kindOf(ObjectId id);
// 0 for a pid that has no process object (below 1 or beyond the range).
ObjectId processObjectOf(std::int32_t pid);
std::optional<std::int32_t> pidOfProcessObject(ObjectId id);
// Device ids come from the node's object.serial, which PipeWire never reuses.
ObjectId deviceObjectOf(std::uint64_t serial);

// A decimal pid as PipeWire properties carry it; absent unless the whole text is a
// positive 32-bit number.
std::optional<std::int32_t> parsePid(std::string_view text);

// What is known about the process behind a stream node.
struct PidSources {
  std::string_view clientApi;                // client.api of the owning client ("pipewire-pulse" or empty)
  std::optional<std::int32_t> clientSecPid;  // pipewire.sec.pid: the peer's credentials
  std::optional<std::int32_t> nodeProcessId; // application.process.id on the node
  std::optional<std::int32_t> clientProcessId;  // application.process.id on the client
};
// Native clients are known by their socket credentials. A PulseAudio client's connection
// is pipewire-pulse itself, so its own report of its pid is all there is.
std::optional<std::int32_t> attributePid(const PidSources& sources);

// Capture channels fed by an output port of the given audio.channel: bit 0 left, bit 1
// right. Left and right channels of any position go to their side; centre, LFE, mono and
// unknown positions go to both.
inline constexpr unsigned kLeft = 1;
inline constexpr unsigned kRight = 2;
unsigned captureChannelsFor(std::string_view channel);

// PipeWire stores linear amplitude; its own tools (wpctl, pactl) show the cube root.
// The device's volume is the master volume times the loudest channel.
float cubicVolume(float master, std::span<const float> channels);
float linearVolume(float cubic);

// Nodes that stand for devices the unity-gain mode may find.
bool isDeviceClass(std::string_view mediaClass);

// Which Props members stand for a device scope. A node has one Props set, not an input and
// an output side: a sink plays (output: its channel volumes) and can be recorded from
// (input: its monitor); a source records (input: its channel volumes).
enum class PropsSide { none, channel, monitor };
PropsSide propsSideFor(std::string_view mediaClass, std::uint32_t scope);

// The format the capture stream asks PipeWire for: 48 kHz interleaved float stereo. The
// stream's converter resamples when the graph runs at another rate, so it is known before
// any link exists.
StreamFormat captureFormat();

// The label and executable of a process: the application's name when it gave one, else
// the process name the kernel knows.
struct ApplicationNames {
  std::optional<std::string> nodeName;        // application.name on a stream node
  std::optional<std::string> clientName;      // application.name on the client
  std::optional<std::string> applicationId;   // application.id
  std::optional<std::string> processBinary;   // application.process.binary
  std::optional<std::string> commandName;     // /proc/<pid>/comm
};
struct ApplicationLabel {
  std::optional<std::string> label;
  std::optional<std::string> exe;
};
ApplicationLabel applicationLabel(const ApplicationNames& names);

}  // namespace dovrin::platform::pipewire
