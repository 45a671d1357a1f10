#pragma once
// The audio system as the audio host sees it: objects addressed by id, properties
// addressed by selector, scope and element, process taps wrapped in private aggregate
// devices, and IO callbacks on those devices. Every call reports a signed 32-bit status;
// 0 is success. The logic above this layer never learns which backend answers.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dovrin::platform {

using ObjectId = std::uint32_t;
using Status = std::int32_t;

inline constexpr Status kOk = 0;

// Four-character codes read big-endian, so "prs#" keeps its printed order in the value.
constexpr std::uint32_t fourCc(const char (&code)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

struct PropertyAddress {
  std::uint32_t selector;
  std::uint32_t scope;
  std::uint32_t element;
};

inline constexpr ObjectId kSystemObject = 1;
inline constexpr std::uint32_t kMainElement = 0;

namespace scope {
inline constexpr std::uint32_t global = fourCc("glob");
inline constexpr std::uint32_t input = fourCc("inpt");
inline constexpr std::uint32_t output = fourCc("outp");
}  // namespace scope

namespace selector {
inline constexpr std::uint32_t processObjectList = fourCc("prs#");  // system: ObjectId[]
inline constexpr std::uint32_t devices = fourCc("dev#");            // system: ObjectId[]
inline constexpr std::uint32_t processPid = fourCc("ppid");         // process: int32
inline constexpr std::uint32_t isRunningOutput = fourCc("piro");    // process: uint32
inline constexpr std::uint32_t tapDescription = fourCc("tdsc");     // tap: const TapDescription*, set only
inline constexpr std::uint32_t streams = fourCc("stm#");            // device, input: ObjectId[]
inline constexpr std::uint32_t virtualFormat = fourCc("sfmt");      // stream: StreamFormat
inline constexpr std::uint32_t deviceUid = fourCc("uid ");          // device: StringRef
inline constexpr std::uint32_t name = fourCc("lnam");               // device: StringRef
inline constexpr std::uint32_t volumeScalar = fourCc("volm");       // device, input/output: float
inline constexpr std::uint32_t mute = fourCc("mute");               // device, input/output: uint32
}  // namespace selector

// Statuses this layer produces itself. Backends may return any other non-zero value.
namespace status {
inline constexpr Status noSuchObject = -50001;
inline constexpr Status noSuchProperty = -50002;
inline constexpr Status badSize = -50003;
inline constexpr Status unsupported = -50004;
inline constexpr Status noAudioSystem = -50005;
}  // namespace status

// Stream format record, 40 bytes as the device stores it.
struct StreamFormat {
  double sampleRate = 0.0;
  std::uint32_t formatId = 0;
  std::uint32_t formatFlags = 0;
  std::uint32_t bytesPerPacket = 0;
  std::uint32_t framesPerPacket = 0;
  std::uint32_t bytesPerFrame = 0;
  std::uint32_t channelsPerFrame = 0;
  std::uint32_t bitsPerChannel = 0;
  std::uint32_t reserved = 0;
};
static_assert(sizeof(StreamFormat) == 40);

// String properties hand out a reference the caller must give back with releaseString.
struct PlatformString;
using StringRef = const PlatformString*;

struct TapDescription {
  enum class Kind { monoMixdownOfProcesses, stereoGlobalExcludingProcesses };
  Kind kind = Kind::monoMixdownOfProcesses;
  // The mixed processes for a mixdown, the left-out ones for a global tap.
  std::vector<ObjectId> processes;
  std::string uuid;
  std::string name;
  bool isPrivate = false;
};

struct SubTap {
  bool driftCompensation = false;
  std::string uid;
};

struct AggregateDeviceDescription {
  std::string name;
  std::string uid;
  bool isPrivate = false;
  bool isStacked = false;
  bool tapAutoStart = false;
  std::vector<std::string> subDevices;
  std::vector<SubTap> taps;
};

struct AudioBuffer {
  std::uint32_t channels = 0;
  std::uint32_t byteSize = 0;
  void* data = nullptr;
};

// Runs on the device's own IO thread, one call at a time, from start until stop.
using IoProc = void (*)(void* context, std::span<const AudioBuffer> input, std::span<AudioBuffer> output);
struct IoProcHandle;
using IoProcId = IoProcHandle*;

// A backend. Installed once at process start, before any thread runs.
class AudioSystem {
 public:
  virtual ~AudioSystem() = default;

  virtual Status propertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t* size) = 0;
  // *size is the room at data on entry and the bytes filled on return.
  virtual Status propertyData(ObjectId object, const PropertyAddress& address, std::uint32_t* size, void* data) = 0;
  virtual Status setPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t size,
                                 const void* data) = 0;

  virtual Status createProcessTap(const TapDescription& description, ObjectId* tap) = 0;
  virtual Status destroyProcessTap(ObjectId tap) = 0;
  virtual Status createAggregateDevice(const AggregateDeviceDescription& description, ObjectId* device) = 0;
  virtual Status destroyAggregateDevice(ObjectId device) = 0;
  virtual Status createIoProc(ObjectId device, IoProc proc, void* context, IoProcId* id) = 0;
  virtual Status destroyIoProc(ObjectId device, IoProcId id) = 0;
  virtual Status startDevice(ObjectId device, IoProcId id) = 0;
  // Returns only once the IO callback can no longer run.
  virtual Status stopDevice(ObjectId device, IoProcId id) = 0;

  virtual std::optional<std::string> stringText(StringRef string) = 0;
  virtual void releaseString(StringRef string) = 0;
};

// nullptr restores the default backend, which has no audio system at all.
void installAudioSystem(AudioSystem* system);
AudioSystem& audioSystem();

// The operations, forwarded to the installed backend.
Status getPropertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t* size);
Status getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t* size, void* data);
Status setPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t size, const void* data);
Status createProcessTap(const TapDescription& description, ObjectId* tap);
Status destroyProcessTap(ObjectId tap);
Status createAggregateDevice(const AggregateDeviceDescription& description, ObjectId* device);
Status destroyAggregateDevice(ObjectId device);
Status createIoProc(ObjectId device, IoProc proc, void* context, IoProcId* id);
Status destroyIoProc(ObjectId device, IoProcId id);
Status startDevice(ObjectId device, IoProcId id);
Status stopDevice(ObjectId device, IoProcId id);
std::optional<std::string> stringText(StringRef string);
void releaseString(StringRef string);

}  // namespace dovrin::platform
