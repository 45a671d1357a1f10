#include <algorithm>
#include <cstring>

#include "sdk_objects.h"

namespace loopback::detail {
namespace {

// Copies a text into a fixed field; a text that fills the field keeps no NUL.
template <size_t N>
void fill(char (&field)[N], const std::string& text) {
  const size_t n = std::min(text.size(), N);
  std::memcpy(field, text.data(), n);
  if (n < N) field[n] = '\0';
}

}  // namespace

int DeviceManager::count(Op op, DeviceKind kind) {
  Call call(op, id(), Kind::device_manager);
  if (call.intercepted()) return call.answer(call.code());
  return call.answer(static_cast<int>(call.world().devices[static_cast<size_t>(kind)].size()));
}

agora::rtc::AudioDeviceInfo DeviceManager::info(Op op, DeviceKind kind, int index) {
  agora::rtc::AudioDeviceInfo info;
  std::memset(&info, 0, sizeof info);
  Call call(op, id(), Kind::device_manager);
  call.arg("index", index);
  if (call.intercepted()) {
    call.answer(call.code());
    return info;
  }
  const auto& list = call.world().devices[static_cast<size_t>(kind)];
  if (index < 0 || static_cast<size_t>(index) >= list.size()) {
    call.answer(kMisuse);
    return info;
  }
  const Device& device = list[static_cast<size_t>(index)];
  fill(info.deviceName, device.name);
  fill(info.deviceId, device.id);
  info.isCurrentSelected = device.current;
  info.isPlayoutDevice = device.playout;
  call.answer(0);
  return info;
}

int DeviceManager::select(Op op, DeviceKind kind, int index, int flags) {
  Call call(op, id(), Kind::device_manager);
  call.arg("index", index);
  call.arg("flags", flags);
  if (call.intercepted()) return call.answer(call.code());
  auto& list = call.world().devices[static_cast<size_t>(kind)];
  if (index < 0 || static_cast<size_t>(index) >= list.size()) return call.answer(kMisuse);
  for (size_t i = 0; i < list.size(); ++i) list[i].current = i == static_cast<size_t>(index);
  call.world().selections[static_cast<size_t>(kind)] = Selection{index, flags};
  return call.answer(0);
}

int DeviceManager::getNumberOfPlayoutDevices() {
  return count(Op::devices_count_playout, DeviceKind::playout);
}
int DeviceManager::getNumberOfRecordingDevices() {
  return count(Op::devices_count_recording, DeviceKind::recording);
}
agora::rtc::AudioDeviceInfo DeviceManager::getPlayoutDeviceInfo(int index) {
  return info(Op::devices_info_playout, DeviceKind::playout, index);
}
agora::rtc::AudioDeviceInfo DeviceManager::getRecordingDeviceInfo(int index) {
  return info(Op::devices_info_recording, DeviceKind::recording, index);
}
int DeviceManager::setPlayoutDevice(int index, int flags) {
  return select(Op::devices_select_playout, DeviceKind::playout, index, flags);
}
int DeviceManager::setRecordingDevice(int index, int flags) {
  return select(Op::devices_select_recording, DeviceKind::recording, index, flags);
}

}  // namespace loopback::detail
