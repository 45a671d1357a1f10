#include "dovrin/platform/audio_system.h"

#include "installed.h"

namespace dovrin::platform {
namespace {

// The machine has no audio system this program can drive: nothing exists, nothing can be
// created. Lists are empty (size 0), so every caller degrades to "nothing found".
class NoAudioSystem final : public AudioSystem {
 public:
  Status propertyDataSize(ObjectId object, const PropertyAddress&, std::uint32_t* size) override {
    *size = 0;
    return object == kSystemObject ? kOk : status::noSuchObject;
  }
  Status propertyData(ObjectId object, const PropertyAddress&, std::uint32_t* size, void*) override {
    *size = 0;
    return object == kSystemObject ? kOk : status::noSuchObject;
  }
  Status setPropertyData(ObjectId, const PropertyAddress&, std::uint32_t, const void*) override {
    return status::noSuchObject;
  }
  Status createProcessTap(const TapDescription&, ObjectId* tap) override {
    *tap = 0;
    return status::noAudioSystem;
  }
  Status destroyProcessTap(ObjectId) override { return status::noSuchObject; }
  Status createAggregateDevice(const AggregateDeviceDescription&, ObjectId* device) override {
    *device = 0;
    return status::noAudioSystem;
  }
  Status destroyAggregateDevice(ObjectId) override { return status::noSuchObject; }
  Status createIoProc(ObjectId, IoProc, void*, IoProcId* id) override {
    *id = nullptr;
    return status::noSuchObject;
  }
  Status destroyIoProc(ObjectId, IoProcId) override { return status::noSuchObject; }
  Status startDevice(ObjectId, IoProcId) override { return status::noSuchObject; }
  Status stopDevice(ObjectId, IoProcId) override { return status::noSuchObject; }
  std::optional<std::string> stringText(StringRef) override { return std::nullopt; }
  void releaseString(StringRef) override {}
};

detail::Installed<AudioSystem>& slot() {
  static NoAudioSystem none;
  static detail::Installed<AudioSystem> installed(none);
  return installed;
}

}  // namespace

void installAudioSystem(AudioSystem* system) { slot().install(system); }
AudioSystem& audioSystem() { return slot().get(); }

Status getPropertyDataSize(ObjectId object, const PropertyAddress& address, std::uint32_t* size) {
  return audioSystem().propertyDataSize(object, address, size);
}
Status getPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t* size, void* data) {
  return audioSystem().propertyData(object, address, size, data);
}
Status setPropertyData(ObjectId object, const PropertyAddress& address, std::uint32_t size, const void* data) {
  return audioSystem().setPropertyData(object, address, size, data);
}
Status createProcessTap(const TapDescription& description, ObjectId* tap) {
  return audioSystem().createProcessTap(description, tap);
}
Status destroyProcessTap(ObjectId tap) { return audioSystem().destroyProcessTap(tap); }
Status createAggregateDevice(const AggregateDeviceDescription& description, ObjectId* device) {
  return audioSystem().createAggregateDevice(description, device);
}
Status destroyAggregateDevice(ObjectId device) { return audioSystem().destroyAggregateDevice(device); }
Status createIoProc(ObjectId device, IoProc proc, void* context, IoProcId* id) {
  return audioSystem().createIoProc(device, proc, context, id);
}
Status destroyIoProc(ObjectId device, IoProcId id) { return audioSystem().destroyIoProc(device, id); }
Status startDevice(ObjectId device, IoProcId id) { return audioSystem().startDevice(device, id); }
Status stopDevice(ObjectId device, IoProcId id) { return audioSystem().stopDevice(device, id); }
std::optional<std::string> stringText(StringRef string) { return audioSystem().stringText(string); }
void releaseString(StringRef string) { audioSystem().releaseString(string); }

}  // namespace dovrin::platform
