// Audio devices: count, UID and name of one device, selection. None of them
// runs the health check: a host with a failed runtime may still list devices
// to explain the failure, and selection's own failure is what latches it.
#include <cstring>

#include "events/event_codes.h"
#include "frame/bounded_text.h"
#include "frame/device_uid.h"
#include "frame/runtime.h"

using dovrin::rtc_desktop::detail::bounded_length;
using dovrin::rtc_desktop::detail::device_uid;
using dovrin::rtc_desktop::detail::owner;
using dovrin::rtc_desktop::detail::Runtime;

namespace {

// A UID takes at most 255 bytes and a name 127, each with its NUL after.
constexpr size_t kUidBuffer = 256;
constexpr size_t kNameLimit = 128;

// Kind 0 is the first operation of each of the manager's pairs, kind 1 the
// second; which one is output and which input is the SDK's convention.
int count_of(agora::rtc::INGAudioDeviceManager& manager, uint32_t kind) {
  return kind == 0 ? manager.getNumberOfPlayoutDevices() : manager.getNumberOfRecordingDevices();
}

agora::rtc::AudioDeviceInfo info_of(agora::rtc::INGAudioDeviceManager& manager, uint32_t kind,
                                    int32_t index) {
  return kind == 0 ? manager.getPlayoutDeviceInfo(index) : manager.getRecordingDeviceInfo(index);
}

int select_in(agora::rtc::INGAudioDeviceManager& manager, uint32_t kind, int32_t index) {
  return kind == 0 ? manager.setPlayoutDevice(index, 0) : manager.setRecordingDevice(index, 0);
}

}  // namespace

extern "C" {

int32_t dovrin_rtc_desktop_devices(DovrinRtcRuntime* handle, uint32_t kind) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || kind > 1) return -1;
  try {
    return count_of(*rt->device_manager, kind);
  } catch (...) {
    return -3;
  }
}

int32_t dovrin_rtc_desktop_device(DovrinRtcRuntime* handle, uint32_t kind, int32_t index,
                                  char* uid_out, uint32_t uid_capacity, char* name_out,
                                  uint32_t name_capacity) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || uid_out == nullptr || name_out == nullptr || uid_capacity == 0 ||
      name_capacity == 0 || index < 0 || kind > 1) {
    return -1;
  }
  try {
    // A negative count (the manager's own failure) leaves no valid index.
    if (index >= count_of(*rt->device_manager, kind)) return -1;
    const agora::rtc::AudioDeviceInfo info = info_of(*rt->device_manager, kind, index);

    char uid[kUidBuffer] = {};
    if (!device_uid(info.deviceId, uid, sizeof uid)) return -3;
    const size_t uid_length = bounded_length(uid, kUidBuffer);
    const size_t name_length = bounded_length(info.deviceName, kNameLimit);
    // Refused rather than cut short: a truncated UID would name no device,
    // or the wrong one.
    if (uid_length >= kUidBuffer || name_length >= kNameLimit || uid_length >= uid_capacity ||
        name_length >= name_capacity) {
      return -1;
    }
    std::memcpy(uid_out, uid, uid_length + 1);
    std::memcpy(name_out, info.deviceName, name_length + 1);
    return 0;
  } catch (...) {
    return -3;
  }
}

int32_t dovrin_rtc_desktop_select(DovrinRtcRuntime* handle, uint32_t kind, int32_t index) {
  Runtime* rt = owner(handle);
  if (rt == nullptr || kind > 1 || index < 0) return -1;
  // A selection takes effect at the next switching, so one made while local
  // audio runs would silently wait; refusing it tells the host to switch off.
  if (rt->capture_on || rt->playback_on) return -4;
  try {
    if (index >= count_of(*rt->device_manager, kind)) return -1;
    const uint32_t operation =
        kind == 0 ? dovrin::rtc_probe::kOpSelectFirstKind : dovrin::rtc_probe::kOpSelectSecondKind;
    return rt->check(select_in(*rt->device_manager, kind, index), operation) ? 0 : -3;
  } catch (...) {
    rt->fail();
    return -3;
  }
}

}  // extern "C"
