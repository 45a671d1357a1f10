// Device count, description and selection through the C interface, over the
// stand-in SDK's device lists and a simulated audio system that knows the
// devices' UIDs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dovrin/platform/sim/sim_world.h"
#include "support/runtime_fixture.h"

namespace {

using dovrin::platform::ObjectId;
using dovrin::platform::kSystemObject;
using dovrin::platform::sim::Access;
using dovrin::platform::sim::SimDevice;
using dovrin::platform::sim::SimWorld;
using dovrin::testing::RuntimeTest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace selector = dovrin::platform::selector;
namespace scope = dovrin::platform::scope;

constexpr ObjectId kSpeakers = 42;
constexpr ObjectId kHeadset = 73;
constexpr ObjectId kMicrophone = 4096;
constexpr ObjectId kHighest = UINT32_MAX;

SimDevice with_uid(std::optional<std::string> uid) {
  SimDevice device;
  device.uid = std::move(uid);
  return device;
}

// Fills the output buffers so that a write shows, NUL or not.
constexpr char kUntouched = '\x7f';

const char* operation_of(uint32_t kind, const char* playout, const char* recording) {
  return kind == 0 ? playout : recording;
}
const char* count_op(uint32_t kind) {
  return operation_of(kind, "devices.count_playout", "devices.count_recording");
}
const char* info_op(uint32_t kind) {
  return operation_of(kind, "devices.info_playout", "devices.info_recording");
}
const char* select_op(uint32_t kind) {
  return operation_of(kind, "devices.select_playout", "devices.select_recording");
}
loopback::DeviceKind device_kind(uint32_t kind) {
  return kind == 0 ? loopback::DeviceKind::playout : loopback::DeviceKind::recording;
}

// What dovrin_rtc_desktop_device answered, with both output buffers.
struct Described {
  int32_t result = 0;
  std::array<char, 320> uid;
  std::array<char, 320> name;

  bool untouched() const {
    for (size_t i = 0; i < uid.size(); ++i) {
      if (uid[i] != kUntouched || name[i] != kUntouched) return false;
    }
    return true;
  }
};

class Devices : public RuntimeTest {
 protected:
  void SetUp() override {
    RuntimeTest::SetUp();
    world.install();
    world.addDeviceAt(kSpeakers, with_uid("AppleHDAEngineOutput:1B,0,1,1:0"));
    world.addDeviceAt(kHeadset, with_uid("BluetoothHeadset-00-11-22-33-44-55:output"));
    world.addDeviceAt(kMicrophone, with_uid("BuiltInMicrophoneDevice"));
    playout = {{"MacBook Pro Speakers", std::to_string(kSpeakers)},
               {"Headset", std::to_string(kHeadset)}};
    recording = {{"MacBook Pro Microphone", std::to_string(kMicrophone)}};
    loopback::set_devices(loopback::DeviceKind::playout, playout);
    loopback::set_devices(loopback::DeviceKind::recording, recording);
    create();
    loopback::clear_journal();
  }

  void TearDown() override {
    RuntimeTest::TearDown();
    EXPECT_EQ(world.live().strings, 0) << "a UID string was not released";
  }

  const std::vector<loopback::Device>& list(uint32_t kind) const {
    return kind == 0 ? playout : recording;
  }
  std::string uid_of(ObjectId object) const { return *world.device(object).uid; }

  // One playout device whose identifier field holds `id` and name `name`.
  void only_playout(std::string id, std::string name = "Device") {
    playout = {{std::move(name), std::move(id)}};
    loopback::set_devices(loopback::DeviceKind::playout, playout);
  }

  Described describe(uint32_t kind, int32_t index, uint32_t uid_capacity = 320,
                     uint32_t name_capacity = 320) {
    Described d;
    d.uid.fill(kUntouched);
    d.name.fill(kUntouched);
    d.result = dovrin_rtc_desktop_device(rtc, kind, index, d.uid.data(), uid_capacity, d.name.data(),
                                         name_capacity);
    return d;
  }

  // A failed SDK check during switching latches the runtime.
  void fail_runtime() {
    loopback::fail_with("track.set_enabled", 3);
    CaptureStderr();
    ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 1, 0), -3);
    GetCapturedStderr();
    ASSERT_EQ(tick(), -2);
  }

  // The health check as a gated export sees it.
  int32_t tick() {
    CaptureStderr();
    const int32_t result = dovrin_rtc_desktop_tick(rtc);
    GetCapturedStderr();
    return result;
  }

  SimWorld world;
  std::vector<loopback::Device> playout;
  std::vector<loopback::Device> recording;
};

// ---------------------------------------------------------------- count

TEST_F(Devices, CountsEachKindsListAndRefusesOtherKinds) {
  for (uint32_t kind : {0u, 1u}) {
    EXPECT_EQ(dovrin_rtc_desktop_devices(rtc, kind), static_cast<int32_t>(list(kind).size())) << kind;
  }
  EXPECT_THAT(loopback::journal_ops(), ElementsAre("devices.count_playout", "devices.count_recording"));

  loopback::clear_journal();
  EXPECT_EQ(dovrin_rtc_desktop_devices(rtc, 2), -1);
  EXPECT_EQ(dovrin_rtc_desktop_devices(rtc, UINT32_MAX), -1);
  EXPECT_EQ(dovrin_rtc_desktop_devices(nullptr, 0), -1);
  EXPECT_THAT(loopback::journal_ops(), IsEmpty());
}

TEST_F(Devices, ManagersFailedCountIsPassedOn) {
  loopback::fail_with("devices.count_recording", -7);
  EXPECT_EQ(dovrin_rtc_desktop_devices(rtc, 1), -7);
  // A failed count leaves no index valid.
  loopback::fail_with("devices.count_recording", -7);
  const Described d = describe(1, 0);
  EXPECT_EQ(d.result, -1);
  EXPECT_TRUE(d.untouched());
  EXPECT_EQ(tick(), 0);
}

TEST_F(Devices, ListingWorksOnAFailedRuntime) {
  fail_runtime();
  EXPECT_EQ(dovrin_rtc_desktop_devices(rtc, 0), static_cast<int32_t>(playout.size()));
  EXPECT_EQ(dovrin_rtc_desktop_devices(rtc, 2), -1);
  const Described d = describe(0, 1);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(std::string(d.uid.data()), uid_of(kHeadset));
  EXPECT_EQ(dovrin_rtc_desktop_select(rtc, 0, 1), 0);
}

// ---------------------------------------------------------------- describe

TEST_F(Devices, DescribesEveryDeviceByUidAndName) {
  const std::vector<ObjectId> objects[2] = {{kSpeakers, kHeadset}, {kMicrophone}};
  for (uint32_t kind : {0u, 1u}) {
    for (size_t index = 0; index < list(kind).size(); ++index) {
      world.clearJournal();
      loopback::clear_journal();
      const Described d = describe(kind, static_cast<int32_t>(index));
      ASSERT_EQ(d.result, 0) << kind << "/" << index;
      EXPECT_EQ(std::string(d.uid.data()), uid_of(objects[kind][index]));
      EXPECT_EQ(std::string(d.name.data()), list(kind)[index].name);
      // Nothing is written past the NULs.
      EXPECT_EQ(d.uid[uid_of(objects[kind][index]).size() + 1], kUntouched);
      EXPECT_EQ(d.name[list(kind)[index].name.size() + 1], kUntouched);
      EXPECT_THAT(world.journal(), ElementsAre("get uid  glob"));
      const auto info = loopback::journal(info_op(kind));
      ASSERT_EQ(info.size(), 1u);
      EXPECT_EQ(info[0].num("index"), static_cast<int64_t>(index));
      EXPECT_THAT(loopback::journal_ops(), ElementsAre(count_op(kind), info_op(kind)));
    }
  }
}

TEST_F(Devices, InvalidArgumentsWriteNothing) {
  Described d;
  struct Case {
    const char* name;
    DovrinRtcRuntime* handle;
    uint32_t kind;
    int32_t index;
    char* uid;
    uint32_t uid_capacity;
    char* name_out;
    uint32_t name_capacity;
    bool asks_manager;
  };
  const auto count = static_cast<int32_t>(playout.size());
  const Case cases[] = {
      {"null handle", nullptr, 0, 0, d.uid.data(), 320, d.name.data(), 320, false},
      {"null uid", rtc, 0, 0, nullptr, 320, d.name.data(), 320, false},
      {"null name", rtc, 0, 0, d.uid.data(), 320, nullptr, 320, false},
      {"uid capacity 0", rtc, 0, 0, d.uid.data(), 0, d.name.data(), 320, false},
      {"name capacity 0", rtc, 0, 0, d.uid.data(), 320, d.name.data(), 0, false},
      {"negative index", rtc, 0, -1, d.uid.data(), 320, d.name.data(), 320, false},
      {"kind 2", rtc, 2, 0, d.uid.data(), 320, d.name.data(), 320, false},
      {"index == count", rtc, 0, count, d.uid.data(), 320, d.name.data(), 320, true},
      {"index beyond recording list", rtc, 1, static_cast<int32_t>(recording.size()), d.uid.data(), 320,
       d.name.data(), 320, true},
  };
  for (const Case& c : cases) {
    d.uid.fill(kUntouched);
    d.name.fill(kUntouched);
    loopback::clear_journal();
    EXPECT_EQ(dovrin_rtc_desktop_device(c.handle, c.kind, c.index, c.uid, c.uid_capacity, c.name_out,
                                        c.name_capacity),
              -1)
        << c.name;
    EXPECT_TRUE(d.untouched()) << c.name;
    // Arguments are judged before the manager is asked; the index against its count.
    EXPECT_EQ(loopback::journal_ops(),
              c.asks_manager ? std::vector<std::string>{count_op(c.kind)} : std::vector<std::string>{})
        << c.name;
  }
}

TEST_F(Devices, BuffersMustHoldTheWholeTextWithItsNul) {
  const std::string uid = uid_of(kHeadset);
  const std::string name = playout[1].name;
  const auto uid_length = static_cast<uint32_t>(uid.size());
  const auto name_length = static_cast<uint32_t>(name.size());
  struct Case {
    uint32_t uid_capacity;
    uint32_t name_capacity;
    int32_t result;
  } cases[] = {
      {uid_length, name_length + 1, -1},
      {uid_length + 1, name_length, -1},
      {uid_length, name_length, -1},
      {uid_length + 1, name_length + 1, 0},
  };
  for (const Case& c : cases) {
    const Described d = describe(0, 1, c.uid_capacity, c.name_capacity);
    EXPECT_EQ(d.result, c.result) << c.uid_capacity << "/" << c.name_capacity;
    if (c.result != 0) {
      EXPECT_TRUE(d.untouched()) << c.uid_capacity << "/" << c.name_capacity;
      continue;
    }
    EXPECT_EQ(std::string(d.uid.data()), uid);
    EXPECT_EQ(std::string(d.name.data()), name);
  }
}

TEST_F(Devices, NamesOf128BytesOrUnterminatedAreRefused) {
  struct Case {
    size_t length;  // the stand-in leaves a name of 256 or more without NUL
    int32_t result;
  } cases[] = {{1, 0}, {127, 0}, {128, -1}, {255, -1}, {256, -1}, {300, -1}};
  for (const Case& c : cases) {
    const std::string name(c.length, 'n');
    only_playout(std::to_string(kSpeakers), name);
    const Described d = describe(0, 0);
    EXPECT_EQ(d.result, c.result) << c.length;
    if (c.result == 0) {
      EXPECT_EQ(std::string(d.name.data()), name) << c.length;
    } else {
      EXPECT_TRUE(d.untouched()) << c.length;
    }
  }
}

TEST_F(Devices, IdentifierMustBeAPlainNonZeroObjectId) {
  world.addDeviceAt(kHighest, with_uid("HighestObject"));
  world.addDeviceAt(3, with_uid("LowObject"));
  // Object 7 does not exist; the system object has no UID. Values past 32
  // bits must not wrap around onto an existing object (2^32 + 3, 2^32 + 42).
  struct Case {
    std::string id;
    std::optional<ObjectId> resolves;
  } cases[] = {
      {"42", kSpeakers},
      {"00042", kSpeakers},
      {std::string(125, '0') + "42", kSpeakers},
      {"4294967295", kHighest},
      {"0", std::nullopt},
      {"000", std::nullopt},
      {"", std::nullopt},
      {"-5", std::nullopt},
      {"+5", std::nullopt},
      {"+42", std::nullopt},
      {" 42", std::nullopt},
      {"42 ", std::nullopt},
      {"42a", std::nullopt},
      {"abc", std::nullopt},
      {"0x2a", std::nullopt},
      {"4294967296", std::nullopt},
      {"4294967299", std::nullopt},
      {"4294967338", std::nullopt},
      {"42949672950", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"7", std::nullopt},
      {std::to_string(kSystemObject), std::nullopt},
      // 128 digits fill the field with no NUL.
      {std::string(126, '0') + "42", std::nullopt},
  };
  for (const Case& c : cases) {
    only_playout(c.id);
    const Described d = describe(0, 0);
    if (c.resolves) {
      EXPECT_EQ(d.result, 0) << '"' << c.id << '"';
      EXPECT_EQ(std::string(d.uid.data()), uid_of(*c.resolves)) << '"' << c.id << '"';
    } else {
      EXPECT_EQ(d.result, -3) << '"' << c.id << '"';
      EXPECT_TRUE(d.untouched()) << '"' << c.id << '"';
    }
  }
}

TEST_F(Devices, DeviceWithoutAUsableUidFails) {
  struct Case {
    const char* name;
    std::optional<std::string> uid;
    bool read_fails;
    int32_t result;
  } cases[] = {
      {"no uid property", std::nullopt, false, -3},
      {"empty uid", "", false, -3},
      {"read fails", "SomeDevice", true, -3},
      {"uid of 255 bytes", std::string(255, 'u'), false, 0},
      // It cannot be held with its NUL; cut short it would name another device.
      {"uid of 256 bytes", std::string(256, 'u'), false, -3},
  };
  for (const Case& c : cases) {
    world.setDevice(kSpeakers, with_uid(c.uid));
    if (c.read_fails) world.failProperty(Access::read, selector::deviceUid, scope::global, -10851, 1, kSpeakers);
    only_playout(std::to_string(kSpeakers));
    const Described d = describe(0, 0);
    EXPECT_EQ(d.result, c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(std::string(d.uid.data()), *c.uid) << c.name;
    } else {
      EXPECT_TRUE(d.untouched()) << c.name;
    }
    EXPECT_EQ(world.live().strings, 0) << c.name;
  }
  // A device that fails is skipped; the next index still answers.
  world.setDevice(kSpeakers, SimDevice{});
  loopback::set_devices(loopback::DeviceKind::playout,
                        {{"Gone", std::to_string(kSpeakers)}, {"Headset", std::to_string(kHeadset)}});
  EXPECT_EQ(describe(0, 0).result, -3);
  EXPECT_EQ(std::string(describe(0, 1).uid.data()), uid_of(kHeadset));
  EXPECT_EQ(tick(), 0) << "a failed lookup does not fail the runtime";
}

TEST_F(Devices, WithoutAnAudioSystemEveryLookupFails) {
  world.uninstall();
  // The default backend knows the system object only, and it has no UID.
  for (const std::string& id : {std::to_string(kSpeakers), std::to_string(kSystemObject)}) {
    only_playout(id);
    const Described d = describe(0, 0);
    EXPECT_EQ(d.result, -3) << id;
    EXPECT_TRUE(d.untouched()) << id;
  }
}

TEST_F(Devices, ThrowingManagerGivesSdkFailure) {
  for (uint32_t kind : {0u, 1u}) {
    for (const char* op : {count_op(kind), info_op(kind)}) {
      loopback::throw_from(op);
      const Described d = describe(kind, 0);
      EXPECT_EQ(d.result, -3) << op;
      EXPECT_TRUE(d.untouched()) << op;
    }
    loopback::throw_from(count_op(kind));
    EXPECT_EQ(dovrin_rtc_desktop_devices(rtc, kind), -3) << kind;
  }
  EXPECT_EQ(tick(), 0) << "only a selection fails the runtime";
}

// ---------------------------------------------------------------- select

TEST_F(Devices, SelectsTheIndexWithoutFlags) {
  for (uint32_t kind : {0u, 1u}) {
    const auto last = static_cast<int32_t>(list(kind).size()) - 1;
    loopback::clear_journal();
    CaptureStderr();
    EXPECT_EQ(dovrin_rtc_desktop_select(rtc, kind, last), 0) << kind;
    EXPECT_EQ(GetCapturedStderr(), "") << kind;
    const auto selected = loopback::selected_device(device_kind(kind));
    ASSERT_TRUE(selected.has_value()) << kind;
    EXPECT_EQ(selected->index, last);
    EXPECT_EQ(selected->flags, 0);
    EXPECT_THAT(loopback::journal_ops(), ElementsAre(count_op(kind), select_op(kind)));
  }
  EXPECT_EQ(tick(), 0);
}

TEST_F(Devices, SelectRefusesInvalidArguments) {
  struct Case {
    const char* name;
    DovrinRtcRuntime* handle;
    uint32_t kind;
    int32_t index;
  } cases[] = {
      {"null handle", nullptr, 0, 0},
      {"kind 2", rtc, 2, 0},
      {"negative index", rtc, 1, -1},
      {"index == count", rtc, 0, static_cast<int32_t>(playout.size())},
      {"index == recording count", rtc, 1, static_cast<int32_t>(recording.size())},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dovrin_rtc_desktop_select(c.handle, c.kind, c.index), -1) << c.name;
  }
  EXPECT_TRUE(loopback::journal("devices.select_playout").empty());
  EXPECT_TRUE(loopback::journal("devices.select_recording").empty());
  EXPECT_EQ(tick(), 0);
}

TEST_F(Devices, SelectOnlyWhileLocalAudioIsOff) {
  struct Case {
    uint32_t capture;
    uint32_t playback;
  } cases[] = {{1, 0}, {0, 1}, {1, 1}};
  for (const Case& c : cases) {
    ASSERT_EQ(dovrin_rtc_desktop_io(rtc, c.capture, c.playback), 0);
    loopback::clear_journal();
    for (uint32_t kind : {0u, 1u}) {
      EXPECT_EQ(dovrin_rtc_desktop_select(rtc, kind, 0), -4) << c.capture << c.playback << kind;
    }
    EXPECT_THAT(loopback::journal_ops(), IsEmpty()) << "the manager was asked";

    ASSERT_EQ(dovrin_rtc_desktop_io(rtc, 0, 0), 0);
    loopback::clear_journal();
    EXPECT_EQ(dovrin_rtc_desktop_select(rtc, 1, 0), 0);
    EXPECT_THAT(loopback::journal_ops(), ElementsAre("devices.count_recording", "devices.select_recording"));
  }
  const auto selected = loopback::selected_device(loopback::DeviceKind::recording);
  ASSERT_TRUE(selected.has_value());
  EXPECT_EQ(selected->index, 0);
  EXPECT_FALSE(loopback::selected_device(loopback::DeviceKind::playout).has_value());
}

// A refusal prints the API line with the kind's operation; an exception
// prints nothing. Either way the runtime is failed afterwards.
TEST_F(Devices, FailedSelectionFailsTheRuntime) {
  struct Case {
    uint32_t kind;
    const char* operation;
    loopback::FaultKind fault;
    const char* line;
  } cases[] = {
      {0, "devices.select_playout", loopback::FaultKind::code, "DOVRIN_RTC_NATIVE_API operation=26 code=5\n"},
      {1, "devices.select_recording", loopback::FaultKind::code, "DOVRIN_RTC_NATIVE_API operation=25 code=5\n"},
      {0, "devices.select_playout", loopback::FaultKind::exception, ""},
      {1, "devices.select_recording", loopback::FaultKind::exception, ""},
      {0, "devices.count_playout", loopback::FaultKind::exception, ""},
      {1, "devices.count_recording", loopback::FaultKind::exception, ""},
  };
  for (const Case& c : cases) {
    destroy();
    create();
    loopback::set_fault(c.operation, {c.fault, 5});
    CaptureStderr();
    EXPECT_EQ(dovrin_rtc_desktop_select(rtc, c.kind, 0), -3) << c.operation;
    EXPECT_EQ(GetCapturedStderr(), c.line) << c.operation;
    EXPECT_FALSE(loopback::selected_device(device_kind(c.kind)).has_value()) << c.operation;
    EXPECT_EQ(tick(), -2) << c.operation;
  }
}

}  // namespace
