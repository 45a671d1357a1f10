// The PipeWire backend's decisions that need no daemon: ids, pid attribution, channel
// routing, the volume scale and the Props side of each device scope.

#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "mapping.h"

namespace dovrin::platform::pipewire {
namespace {

TEST(PipeWireIds, RangesTellTheKindAndProcessIdsRoundTrip) {
  EXPECT_EQ(kindOf(processObjectOf(4321)), IdKind::process);
  EXPECT_EQ(pidOfProcessObject(processObjectOf(4321)), 4321);
  EXPECT_EQ(processObjectOf(0), 0u);
  EXPECT_EQ(processObjectOf(-5), 0u);
  EXPECT_EQ(pidOfProcessObject(kProcessBase), std::nullopt);
  EXPECT_EQ(pidOfProcessObject(deviceObjectOf(7)), std::nullopt);
  EXPECT_EQ(kindOf(deviceObjectOf(7)), IdKind::device);
  EXPECT_NE(deviceObjectOf(7), deviceObjectOf(8));
  EXPECT_EQ(kindOf(kTapBase + 1), IdKind::tap);
  EXPECT_EQ(kindOf(kAggregateBase + 1), IdKind::aggregate);
  EXPECT_EQ(kindOf(kStreamBase + 1), IdKind::stream);
  EXPECT_EQ(kindOf(kSystemObject), IdKind::none);
}

TEST(PipeWirePids, ParsesOnlyWholePositiveNumbers) {
  EXPECT_EQ(parsePid("812"), 812);
  for (const char* bad : {"", "0", "-3", "12a", " 12", "99999999999"}) EXPECT_EQ(parsePid(bad), std::nullopt) << bad;
}

TEST(PipeWirePids, NativeByCredentialsPulseByItsOwnReport) {
  struct Case {
    const char* name;
    PidSources sources;
    std::optional<std::int32_t> pid;
  };
  const Case cases[] = {
      {"native", {"", 100, 999, std::nullopt}, 100},
      {"native without credentials", {"", std::nullopt, 999, std::nullopt}, 999},
      {"pulse node", {"pipewire-pulse", 50, 200, 300}, 200},
      {"pulse client", {"pipewire-pulse", 50, std::nullopt, 300}, 300},
      {"pulse silent", {"pipewire-pulse", 50, std::nullopt, std::nullopt}, std::nullopt},
      {"nothing", {"", std::nullopt, std::nullopt, std::nullopt}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(attributePid(c.sources), c.pid) << c.name;
}

TEST(PipeWireChannels, LeftRightAndBoth) {
  const std::array<std::pair<const char*, unsigned>, 10> cases{{{"FL", kLeft}, {"SL", kLeft}, {"RL", kLeft},
                                                               {"FR", kRight}, {"SR", kRight}, {"RR", kRight},
                                                               {"FC", kLeft | kRight}, {"LFE", kLeft | kRight},
                                                               {"MONO", kLeft | kRight}, {"", kLeft | kRight}}};
  for (const auto& [channel, sides] : cases) EXPECT_EQ(captureChannelsFor(channel), sides) << channel;
}

TEST(PipeWireVolume, CubicAsTheToolsShowIt) {
  const float half[] = {0.125f, 0.125f};
  EXPECT_FLOAT_EQ(cubicVolume(1.0f, half), 0.5f);
  const float uneven[] = {0.001f, 1.0f};
  EXPECT_FLOAT_EQ(cubicVolume(0.125f, uneven), 0.5f);
  EXPECT_FLOAT_EQ(cubicVolume(1.0f, {}), 1.0f);
  EXPECT_FLOAT_EQ(linearVolume(0.5f), 0.125f);
  EXPECT_FLOAT_EQ(linearVolume(1.0f), 1.0f);
}

TEST(PipeWireDevices, ClassesAndTheirScopes) {
  EXPECT_TRUE(isDeviceClass("Audio/Sink"));
  EXPECT_TRUE(isDeviceClass("Audio/Source/Virtual"));
  EXPECT_FALSE(isDeviceClass("Stream/Output/Audio"));
  EXPECT_FALSE(isDeviceClass("Video/Source"));
  EXPECT_EQ(propsSideFor("Audio/Sink", scope::output), PropsSide::channel);
  EXPECT_EQ(propsSideFor("Audio/Sink", scope::input), PropsSide::monitor);
  EXPECT_EQ(propsSideFor("Audio/Source", scope::input), PropsSide::channel);
  EXPECT_EQ(propsSideFor("Audio/Source", scope::output), PropsSide::none);
  EXPECT_EQ(propsSideFor("Audio/Source/Virtual", scope::input), PropsSide::channel);
  EXPECT_EQ(propsSideFor("Audio/Duplex", scope::output), PropsSide::channel);
  EXPECT_EQ(propsSideFor("Audio/Sink", scope::global), PropsSide::none);
}

TEST(PipeWireFormat, FloatStereoAt48k) {
  const StreamFormat format = captureFormat();
  EXPECT_EQ(format.sampleRate, 48000.0);
  EXPECT_EQ(format.channelsPerFrame, 2u);
  EXPECT_EQ(format.bitsPerChannel, 32u);
  EXPECT_EQ(format.bytesPerFrame, 8u);
}

TEST(PipeWireLabels, ApplicationNameElseProcessName) {
  ApplicationNames names;
  names.commandName = "pacat";
  names.clientName = "paplay";
  names.processBinary = "pacat";
  auto label = applicationLabel(names);
  EXPECT_EQ(label.label, "paplay");
  EXPECT_EQ(label.exe, "pacat");
  names.nodeName = "Firefox";
  names.applicationId = "org.mozilla.firefox";
  label = applicationLabel(names);
  EXPECT_EQ(label.label, "Firefox");
  EXPECT_EQ(label.exe, "org.mozilla.firefox");
  label = applicationLabel(ApplicationNames{std::nullopt, std::string(), std::nullopt, std::nullopt, "tone"});
  EXPECT_EQ(label.label, "tone");
  EXPECT_EQ(label.exe, std::nullopt);
  EXPECT_EQ(applicationLabel(ApplicationNames{}).label, std::nullopt);
}

}  // namespace
}  // namespace dovrin::platform::pipewire
