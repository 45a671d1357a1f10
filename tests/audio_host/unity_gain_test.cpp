#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "audio_host/unity_gain.h"
#include "host_world.h"

namespace dovrin::audio_host::testing {
namespace {

using dovrin::audio_host::testing::PrintTo;

namespace selector = platform::selector;
namespace scope = platform::scope;

const std::string kWriteFailed = "{\"event\":\"error\",\"code\":\"volume_write_failed\"}\n";
const std::string kNotFound = "{\"found\":false}\n";

std::string report(const std::string& quotedName, bool changed, const char* before, const char* after, bool unmuted) {
  return "{\"found\":true,\"name\":" + quotedName + ",\"changed\":" + (changed ? "true" : "false") +
         ",\"before\":" + before + ",\"after\":" + after + ",\"unmuted\":" + (unmuted ? "true" : "false") + "}\n";
}

SimDevice device(std::string name, std::optional<float> in, std::optional<float> out, std::optional<bool> inMute = false,
                 std::optional<bool> outMute = false, std::optional<std::string> uid = std::nullopt) {
  return SimDevice{uid ? uid : std::optional<std::string>(name + "_UID"), std::move(name), in, out, inMute, outMute};
}

struct UnityCase {
  const char* name;
  std::vector<SimDevice> devices;
  std::function<void(SimWorld&)> faults;
  std::string needle;
  std::string out;
  std::string err;
  std::vector<std::string> writes;
};

void none(SimWorld&) {}
std::function<void(SimWorld&)> failWrite(std::uint32_t selector, std::uint32_t scope, platform::Status status = -9) {
  return [=](SimWorld& w) { w.failProperty(Access::write, selector, scope, status); };
}

class AudioHostUnityGain : public HostWorld, public ::testing::WithParamInterface<UnityCase> {};

TEST_P(AudioHostUnityGain, WritesWhatIsNeededAndReports) {
  for (const auto& simulated : GetParam().devices) world.addDevice(simulated);
  GetParam().faults(world);
  const int status = runEnsureUnityGain(GetParam().needle);
  EXPECT_EQ(status, GetParam().err.empty() ? 0 : 1);
  EXPECT_EQ(streams.out(), GetParam().out);
  EXPECT_EQ(streams.err(), GetParam().err);
  std::vector<std::string> writes;
  for (const auto& entry : world.journal())
    if (entry.starts_with("set ")) writes.push_back(entry);
  EXPECT_EQ(writes, GetParam().writes);
  EXPECT_EQ(world.live().strings, 0);
}

const std::string kSpeakers = "\"Speakers\"";

INSTANTIATE_TEST_SUITE_P(
    Devices, AudioHostUnityGain,
    ::testing::Values(
        UnityCase{"InputRaised", {device("Speakers", 0.5f, 0.9995f)}, none, "Speakers",
                  report(kSpeakers, true, "0.5000", "1.0000", false), "", {"set volm inpt"}},
        UnityCase{"ThresholdIsUnity", {device("Speakers", 0.999f, 0.999f)}, none, "Speakers",
                  report(kSpeakers, false, "0.9990", "0.9990", false), "", {}},
        UnityCase{"OnlyOutputHasAVolume", {device("Speakers", std::nullopt, 0.25f)}, none, "Speakers",
                  report(kSpeakers, true, "0.2500", "1.0000", false), "", {"set volm outp"}},
        UnityCase{"NoVolumeAtAll", {device("Speakers", std::nullopt, std::nullopt)}, none, "Speakers",
                  report(kSpeakers, false, "1.0000", "1.0000", false), "", {}},
        UnityCase{"OutOfRangeVolumesAsTheyCome", {device("Speakers", 1.2f, -0.5f)}, none, "Speakers",
                  report(kSpeakers, true, "1.2000", "1.2000", false), "", {"set volm outp"}},
        UnityCase{"NanCountsAsUnityAndReportsNull", {device("Speakers", std::nullopt, NAN)}, none, "Speakers",
                  report(kSpeakers, false, "null", "null", false), "", {}},
        UnityCase{"InfiniteVolumesReportNull", {device("Speakers", INFINITY, -INFINITY)}, none, "Speakers",
                  report(kSpeakers, true, "null", "null", false), "", {"set volm outp"}},
        UnityCase{"FourDecimalsRounded", {device("Speakers", 0.12345f, 1.0f)}, failWrite(selector::volumeScalar, scope::input, platform::kOk), "Speakers",
                  report(kSpeakers, true, "0.1235", "0.1235", false), "", {"set volm inpt"}},
        UnityCase{"BothMuted", {device("Speakers", 1.0f, 1.0f, true, true)}, none, "Speakers",
                  report(kSpeakers, false, "1.0000", "1.0000", true), "", {"set mute inpt", "set mute outp"}},
        UnityCase{"OnlyOutputMuted", {device("Speakers", 1.0f, 1.0f, false, true)}, none, "Speakers",
                  report(kSpeakers, false, "1.0000", "1.0000", true), "", {"set mute outp"}},
        UnityCase{"FailedInputUnmuteLeavesOutput", {device("Speakers", 1.0f, 1.0f, true, true)},
                  failWrite(selector::mute, scope::input), "Speakers",
                  report(kSpeakers, false, "1.0000", "1.0000", false), kWriteFailed, {"set mute inpt"}},
        UnityCase{"FailedOutputUnmute", {device("Speakers", 1.0f, 1.0f, true, true)},
                  failWrite(selector::mute, scope::output), "Speakers",
                  report(kSpeakers, false, "1.0000", "1.0000", false), kWriteFailed, {"set mute inpt", "set mute outp"}},
        UnityCase{"FailedVolumeWriteGoesOn", {device("Speakers", 0.5f, 0.5f, false, true)},
                  failWrite(selector::volumeScalar, scope::input), "Speakers",
                  report(kSpeakers, true, "0.5000", "0.5000", true), kWriteFailed,
                  {"set volm inpt", "set volm outp", "set mute outp"}},
        UnityCase{"UnreadableMuteIsLeftAlone", {device("Speakers", 1.0f, 1.0f, std::nullopt, std::nullopt)}, none,
                  "Speakers", report(kSpeakers, false, "1.0000", "1.0000", false), "", {}},
        UnityCase{"KnownDeviceByUid",
                  {device("DovrinVirtualMic", 1.0f, 1.0f, false, false, "Impostor"),
                   device("Renamed Mic", 0.5f, 1.0f, false, false, "DovrinVirtualMic2ch_UID")},
                  none, "DovrinVirtualMic", report("\"Renamed Mic\"", true, "0.5000", "1.0000", false), "",
                  {"set volm inpt"}},
        UnityCase{"KnownDeviceNameWithoutItsUid", {device("DovrinVirtualMic", 0.5f, 1.0f)}, none,
                  "DovrinVirtualMic", kNotFound, "", {}},
        UnityCase{"KnownDeviceUnnamedReportsTheNeedle",
                  {SimDevice{"DovrinMeetingBus2ch_UID", std::nullopt, 1.0f, 1.0f, false, false}}, none,
                  "DovrinMeetingBus", report("\"DovrinMeetingBus\"", false, "1.0000", "1.0000", false), "", {}},
        UnityCase{"FirstSubstringMatchInListOrder",
                  {device("Built-in Output", 1.0f, 1.0f), device("USB Mic A", 0.5f, 1.0f), device("USB Mic B", 0.5f, 1.0f)},
                  none, "Mic", report("\"USB Mic A\"", true, "0.5000", "1.0000", false), "", {"set volm inpt"}},
        UnityCase{"SubstringIsCaseSensitive", {device("USB Mic A", 0.5f, 1.0f)}, none, "mic", kNotFound, "", {}},
        UnityCase{"EmptyNeedleMatchesNothing", {device("Speakers", 0.5f, 1.0f)}, none, "", kNotFound, "", {}},
        UnityCase{"UnreadableDeviceList", {device("Speakers", 0.5f, 1.0f)},
                  [](SimWorld& w) { w.failProperty(Access::read, selector::devices, scope::global, -1); }, "Speakers",
                  kNotFound, "", {}},
        UnityCase{"NameWithQuoteAndBackslashIsEscaped", {device("Studio \"A\"\\Desk", 1.0f, 1.0f)}, none, "Studio",
                  report("\"Studio \\\"A\\\"\\\\Desk\"", false, "1.0000", "1.0000", false), "", {}}),
    [](const auto& test) { return std::string(test.param.name); });

struct StandinCase {
  const char* name;
  float scalar;
  std::string out;
};

class AudioHostStandin : public HostWorld, public ::testing::WithParamInterface<StandinCase> {};

TEST_P(AudioHostStandin, ReportsWithoutTouchingAnyDevice) {
  world.addDevice(device("Speakers", 0.5f, 0.5f, true, true));
  EXPECT_EQ(runStandin("Speakers", GetParam().scalar), 0);
  EXPECT_EQ(streams.out(), GetParam().out);
  EXPECT_EQ(streams.err(), "");
  EXPECT_TRUE(world.journal().empty());
}

INSTANTIATE_TEST_SUITE_P(Scalars, AudioHostStandin,
                         ::testing::Values(StandinCase{"Half", 0.5f, report(kSpeakers, true, "0.5000", "1.0000", false)},
                                           StandinCase{"AboveUnity", 1.2f,
                                                       report(kSpeakers, false, "1.2000", "1.2000", false)},
                                           StandinCase{"Threshold", 0.999f,
                                                       report(kSpeakers, false, "0.9990", "0.9990", false)},
                                           StandinCase{"Negative", -0.25f,
                                                       report(kSpeakers, true, "-0.2500", "1.0000", false)}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace dovrin::audio_host::testing
