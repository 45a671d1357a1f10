#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "dovrin/platform/audio_system.h"
#include "dovrin/platform/clock.h"
#include "dovrin/platform/processes.h"
#include "dovrin/platform/sim/sim_world.h"

namespace dovrin::platform::sim {
namespace {

class PlatformSim : public ::testing::Test {
 protected:
  void SetUp() override { world.install(); }
  SimWorld world;
};

PropertyAddress address(std::uint32_t selector, std::uint32_t scope = scope::global) {
  return PropertyAddress{selector, scope, kMainElement};
}

std::vector<ObjectId> readIds(std::uint32_t selector, std::uint32_t room) {
  std::vector<ObjectId> ids(room / 4, 0);
  if (getPropertyData(kSystemObject, address(selector), &room, ids.data()) != kOk) return {99};
  ids.resize(room / 4);
  return ids;
}

TEST_F(PlatformSim, ListsObjectsInOrderAndTruncatesToTheRoomGiven) {
  ObjectId a = world.addProcessObject(10);
  ObjectId b = world.addProcessObject(11);
  std::uint32_t size = 0;
  ASSERT_EQ(getPropertyDataSize(kSystemObject, address(selector::processObjectList), &size), kOk);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(readIds(selector::processObjectList, 8), (std::vector<ObjectId>{a, b}));
  EXPECT_EQ(readIds(selector::processObjectList, 7), std::vector<ObjectId>{a});
  world.setProcessObjectOrder({b, a});
  EXPECT_EQ(readIds(selector::processObjectList, 8), (std::vector<ObjectId>{b, a}));
}

TEST_F(PlatformSim, FaultsHitTheirAccessForTheirCountThenPass) {
  ObjectId object = world.addProcessObject(10, true);
  world.failProperty(Access::read, selector::processPid, scope::global, -77, 2, object);
  std::int32_t pid = 0;
  std::uint32_t size = 4;
  EXPECT_EQ(getPropertyData(object, address(selector::processPid), &size, &pid), -77);
  EXPECT_EQ(getPropertyData(object, address(selector::processPid), &size, &pid), -77);
  EXPECT_EQ(getPropertyData(object, address(selector::processPid), &size, &pid), kOk);
  EXPECT_EQ(pid, 10);
  std::uint32_t flag = 0;
  EXPECT_EQ(getPropertyData(object, address(selector::isRunningOutput), &size, &flag), kOk);
  EXPECT_EQ(flag, 1u);
}

TEST_F(PlatformSim, DeviceValuesReadWriteAndIgnoredWrites) {
  ObjectId device = world.addDevice(SimDevice{"uid-1", "Desk", 0.5f, std::nullopt, true, false});
  float volume = 0.0f;
  std::uint32_t size = 4;
  EXPECT_EQ(getPropertyData(device, address(selector::volumeScalar, scope::output), &size, &volume),
            status::noSuchProperty);
  float one = 1.0f;
  EXPECT_EQ(setPropertyData(device, address(selector::volumeScalar, scope::input), 4, &one), kOk);
  EXPECT_EQ(world.device(device).inputVolume, 1.0f);
  world.failProperty(Access::write, selector::mute, scope::input, kOk);
  std::uint32_t unmute = 0;
  EXPECT_EQ(setPropertyData(device, address(selector::mute, scope::input), 4, &unmute), kOk);
  EXPECT_EQ(world.device(device).inputMute, true);

  StringRef name = nullptr;
  size = sizeof name;
  ASSERT_EQ(getPropertyData(device, address(selector::name), &size, &name), kOk);
  EXPECT_EQ(world.live().strings, 1);
  EXPECT_EQ(stringText(name), "Desk");
  releaseString(name);
  EXPECT_EQ(world.live().strings, 0);
}

TEST_F(PlatformSim, ProcessTableLivenessAndParents) {
  world.addProcess(20, 1);
  world.addProcess(21, 20);
  EXPECT_EQ(signalZero(21), 0);
  EXPECT_EQ(parentPid(21), 20);
  world.setSignalZeroError(20, EPERM);
  EXPECT_EQ(signalZero(20), EPERM);
  world.endProcess(21);
  EXPECT_EQ(signalZero(21), ESRCH);
  EXPECT_EQ(parentPid(21), std::nullopt);
  EXPECT_EQ(signalZero(12345), ESRCH);
}

class PlatformSimDevice : public PlatformSim {
 protected:
  static void count(void* context, std::span<const AudioBuffer> input, std::span<AudioBuffer>) {
    auto& seen = *static_cast<std::vector<std::uint32_t>*>(context);
    seen.push_back(input.empty() ? 0 : input[0].byteSize);
  }
  ObjectId start(std::vector<std::uint32_t>& seen) {
    ObjectId tap = 0;
    EXPECT_EQ(createProcessTap(TapDescription{}, &tap), kOk);
    ObjectId device = 0;
    EXPECT_EQ(createAggregateDevice(AggregateDeviceDescription{}, &device), kOk);
    EXPECT_EQ(createIoProc(device, count, &seen, &proc), kOk);
    EXPECT_EQ(startDevice(device, proc), kOk);
    return device;
  }
  IoProcId proc = nullptr;
};

TEST_F(PlatformSimDevice, LockStepDeliversExactlyTheDueCycles) {
  world.addFeed(Feed{0.0, 0.01, 5, [](std::int64_t index, Cycle& cycle) {
                       cycle.assign(1, SimBuffer::floats(std::vector<float>(static_cast<std::size_t>(index + 1))));
                     }});
  std::vector<std::uint32_t> seen;
  ObjectId device = start(seen);
  sleepFor(0.025);
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{4, 8, 12}));
  sleepFor(1.0);
  EXPECT_EQ(seen.size(), 5u);
  EXPECT_EQ(stopDevice(device, proc), kOk);
  EXPECT_EQ(world.live().runningDevices, 0);
}

TEST_F(PlatformSimDevice, ActionsRunInTimeOrderBetweenCycles) {
  std::vector<std::uint32_t> seen;
  world.addFeed(Feed{0.0, 0.1, 3, [](std::int64_t, Cycle& cycle) { cycle.assign(1, SimBuffer::floats({0.0f})); }});
  const double t0 = world.now();
  std::vector<std::size_t> cyclesAtAction;
  world.at(t0 + 0.15, [&] { cyclesAtAction.push_back(seen.size()); });
  world.at(t0 + 0.05, [&] { cyclesAtAction.push_back(seen.size()); });
  start(seen);
  sleepFor(0.3);
  EXPECT_EQ(cyclesAtAction, (std::vector<std::size_t>{1, 2}));
  EXPECT_EQ(world.now(), t0 + 0.3);
}

TEST_F(PlatformSimDevice, CallFaultsAndNullIds) {
  world.failCall("createProcessTap", 42, 1);
  ObjectId tap = 7;
  EXPECT_EQ(createProcessTap(TapDescription{}, &tap), 42);
  EXPECT_EQ(tap, 0u);
  EXPECT_EQ(createProcessTap(TapDescription{}, &tap), kOk);
  ObjectId device = 0;
  ASSERT_EQ(createAggregateDevice(AggregateDeviceDescription{}, &device), kOk);
  world.giveNullIoProcId(true);
  std::vector<std::uint32_t> seen;
  EXPECT_EQ(createIoProc(device, count, &seen, &proc), kOk);
  EXPECT_EQ(proc, nullptr);
  EXPECT_EQ(world.live().ioProcs, 0);
  EXPECT_EQ(destroyAggregateDevice(device), kOk);
  EXPECT_EQ(destroyProcessTap(tap), kOk);
  EXPECT_EQ(world.live().taps, 0);
}

TEST_F(PlatformSim, SleepAdvanceReplacesTheRequestedTime) {
  const double t0 = world.now();
  world.setSleepAdvance(0.5);
  sleepFor(0.05);
  EXPECT_EQ(wallClockNow(), t0 + 0.5);
  EXPECT_EQ(world.sleeps(), std::vector<double>{0.05});
}

}  // namespace
}  // namespace dovrin::platform::sim
