#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "audio_host/capture.h"
#include "host_world.h"

namespace dovrin::audio_host::testing {
namespace {

using dovrin::audio_host::testing::PrintTo;

namespace selector = platform::selector;
namespace scope = platform::scope;
using Kind = platform::TapDescription::Kind;

// Exactly representable in binary, so every window boundary is hit or missed exactly.
constexpr double kStep = 1.0 / 32.0;
constexpr std::int32_t kTarget = 500;
constexpr int kStampCycle = 32000;

std::string formatLine(int rate) {
  return "{\"event\":\"format\",\"sampleRate\":" + std::to_string(rate) + ",\"channels\":1,\"encoding\":\"s16le\"}";
}
const std::string kPermissionLine = "{\"event\":\"warning\",\"code\":\"silent_no_permission\"}";
const std::string kGoneLine = "{\"event\":\"error\",\"code\":\"no_such_audio_process\"}";
const std::string kInitializeLine = "{\"event\":\"error\",\"code\":\"initialize_failed\"}";

// Every cycle the same: `frames` frames of `channels` channels, all `value`.
Feed constantFeed(double start, double period, std::int64_t cycles, std::uint32_t channels, std::uint32_t frames,
                  float value) {
  return Feed{start, period, cycles, [=](std::int64_t, Cycle& cycle) {
                if (cycle.empty()) cycle.push_back(SimBuffer::floats(std::vector<float>(channels * frames, value), channels));
              }};
}

// Frame f of the stream carries the stamp f % kStampCycle + 1 on every channel, chosen so
// that it converts to exactly that 16-bit value.
Feed stampedFeed(double period, std::int64_t cycles, std::uint32_t channels, std::uint32_t frames) {
  return Feed{0.0, period, cycles, [=](std::int64_t index, Cycle& cycle) {
                if (cycle.empty()) cycle.push_back(SimBuffer::floats(std::vector<float>(channels * frames), channels));
                auto& samples = cycle.front().samples;
                for (std::uint32_t i = 0; i < frames; ++i) {
                  const auto stamp = (index * frames + i) % kStampCycle + 1;
                  const auto value = static_cast<float>((static_cast<double>(stamp) + 0.5) / 32767.0);
                  std::fill_n(samples.begin() + i * channels, channels, value);
                }
              }};
}

class AudioHostCapture : public HostWorld {
 protected:
  void SetUp() override {
    HostWorld::SetUp();
    world.addProcess(kTarget, kLauncher);
    world.setCaptureFormat(48000.0, 2);
  }

  int capture(std::optional<std::int32_t> pid = kTarget, const PidSet& excluding = {}) {
    return runCapture(pid, excluding);
  }

  // The lifecycle calls of the journal, in order.
  std::vector<std::string> lifecycle() {
    std::vector<std::string> calls;
    for (const auto& entry : world.journal())
      if (entry.find(' ') == std::string::npos) calls.push_back(entry);
    return calls;
  }
  int journalCount(const std::string& entry) {
    auto journal = world.journal();
    return static_cast<int>(std::count(journal.begin(), journal.end(), entry));
  }
  // Event lines with the virtual time they were written at.
  std::vector<std::pair<double, std::string>> events() {
    std::vector<std::pair<double, std::string>> lines;
    for (const auto& chunk : streams.chunks())
      if (chunk.stream == 2) lines.emplace_back(chunk.at - t0, chunk.bytes.substr(0, chunk.bytes.size() - 1));
    return lines;
  }
  std::vector<std::string> eventTexts() {
    std::vector<std::string> lines;
    for (auto& [at, text] : events()) lines.push_back(text);
    return lines;
  }
  std::vector<MemoryStreams::Chunk> pcmChunks() {
    std::vector<MemoryStreams::Chunk> chunks;
    for (auto& chunk : streams.chunks())
      if (chunk.stream == 1) chunks.push_back(chunk);
    return chunks;
  }
  void expectReleased() {
    auto live = world.live();
    EXPECT_EQ(live.taps, 0);
    EXPECT_EQ(live.aggregateDevices, 0);
    EXPECT_EQ(live.ioProcs, 0);
    EXPECT_EQ(live.runningDevices, 0);
  }
};

const std::vector<std::string> kFullLifecycle{"createProcessTap", "createAggregateDevice", "createIoProc",
                                              "startDevice",      "stopDevice",            "destroyIoProc",
                                              "destroyAggregateDevice", "destroyProcessTap"};

TEST_F(AudioHostCapture, FormatLineFirstThenPcmThenOrderedTeardown) {
  const ObjectId own = world.addProcessObject(kTarget, true);
  world.addFeed(constantFeed(0.0, 0.01, 100, 2, 480, 0.5f));
  stopAt(1.0);
  EXPECT_EQ(capture(), 0);

  const auto chunks = streams.chunks();
  ASSERT_FALSE(chunks.empty());
  EXPECT_EQ(chunks.front().stream, 2);
  EXPECT_EQ(chunks.front().bytes, formatLine(48000) + "\n");
  EXPECT_EQ(eventTexts(), std::vector<std::string>{formatLine(48000)});
  EXPECT_GT(streams.outBytes(), 0u);
  EXPECT_EQ(lifecycle(), kFullLifecycle);
  expectReleased();

  const auto taps = world.tapDescriptions();
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(taps[0].kind, Kind::monoMixdownOfProcesses);
  EXPECT_EQ(taps[0].processes, std::vector<ObjectId>{own});
  EXPECT_EQ(taps[0].name, "Dovrin Capture");
  EXPECT_TRUE(taps[0].isPrivate);
  const auto aggregate = world.aggregateDescription();
  ASSERT_TRUE(aggregate);
  EXPECT_EQ(aggregate->name, "Dovrin Capture");
  EXPECT_TRUE(aggregate->isPrivate);
  EXPECT_FALSE(aggregate->isStacked);
  EXPECT_TRUE(aggregate->tapAutoStart);
  EXPECT_TRUE(aggregate->subDevices.empty());
  ASSERT_EQ(aggregate->taps.size(), 1u);
  EXPECT_TRUE(aggregate->taps[0].driftCompensation);
  EXPECT_EQ(aggregate->taps[0].uid, taps[0].uuid);
  EXPECT_NE(aggregate->uid, taps[0].uuid);
  EXPECT_EQ(aggregate->uid.size(), 36u);
}

TEST_F(AudioHostCapture, StopBeforeTheFirstPassWritesNoPcm) {
  world.addFeed(constantFeed(0.0, 0.01, 10, 2, 480, 0.5f));
  gStop.store(true);
  EXPECT_EQ(capture(), 0);
  EXPECT_EQ(streams.outBytes(), 0u);
  EXPECT_EQ(eventTexts(), std::vector<std::string>{formatLine(48000)});
  EXPECT_TRUE(world.sleeps().empty());
  expectReleased();
}

TEST_F(AudioHostCapture, EveryPassSleepsFiftyMilliseconds) {
  stopAt(1.0);
  EXPECT_EQ(capture(), 0);
  const auto sleeps = world.sleeps();
  EXPECT_EQ(sleeps.size(), 20u);
  for (double pause : sleeps) EXPECT_EQ(pause, 0.05);
}

// Without audio the output still advances at wall-clock pace, never more than 1.0 s (one
// whole rate) per pass however long the pass took.
struct SilenceCase {
  double passLength;
  double rate;
  std::size_t perPass;
};

class AudioHostSilence : public AudioHostCapture, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(AudioHostSilence, FillsAtWallClockPaceCappedAtOneSecond) {
  world.setCaptureFormat(GetParam().rate, 2);
  world.setSleepAdvance(GetParam().passLength);
  stopAt(GetParam().passLength * 10);
  EXPECT_EQ(capture(std::nullopt), 0);
  const auto chunks = pcmChunks();
  ASSERT_EQ(chunks.size(), 9u);  // the first pass owes nothing yet
  for (const auto& chunk : chunks) {
    EXPECT_EQ(chunk.bytes.size(), 2 * GetParam().perPass);
    EXPECT_EQ(chunk.bytes.find_first_not_of('\0'), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Passes, AudioHostSilence,
                         ::testing::Values(SilenceCase{kStep, 48000.0, 1500}, SilenceCase{0.5, 48000.0, 24000},
                                           SilenceCase{1.0, 44100.0, 44100}, SilenceCase{3.0, 48000.0, 48000},
                                           SilenceCase{3.0, 16000.0, 16000}));

TEST_F(AudioHostCapture, AudioFasterThanRealTimeInsertsNoSilence) {
  world.setCaptureFormat(48000.0, 1);
  world.setSleepAdvance(kStep);
  // 2 s of audio within the first second.
  world.addFeed(constantFeed(0.0, 1.0 / 16.0, 16, 1, 6000, 0.5f));
  stopAt(3.0);
  EXPECT_EQ(capture(), 0);
  std::size_t audio = 0;
  double firstSilence = -1.0;
  for (const auto& chunk : pcmChunks()) {
    const bool silent = chunk.bytes.find_first_not_of('\0') == std::string::npos;
    if (silent && firstSilence < 0) firstSilence = chunk.at - t0;
    if (!silent) {
      EXPECT_LT(firstSilence, 0.0) << "audio after silence at " << chunk.at - t0;
      audio += chunk.bytes.size() / 2;
    }
  }
  EXPECT_EQ(audio, 96000u);
  // The stream clock ran 2 s ahead from the first written pass; silence resumes only after.
  EXPECT_GT(firstSilence, 2.0 + kStep);
  EXPECT_LE(firstSilence, 2.0 + 3 * kStep);
}

// The writer must move, every pass, whatever the device delivered since the last one.
class AudioHostDrain : public AudioHostCapture, public ::testing::WithParamInterface<double> {};

TEST_P(AudioHostDrain, NothingDroppedAtFortyEightKilohertzStereo) {
  constexpr std::uint32_t kFrames = 512;
  constexpr std::int64_t kCycles = 48000 * 6 / kFrames;
  world.setJournal(false);
  world.setSleepAdvance(GetParam());
  world.addFeed(stampedFeed(kFrames / 48000.0, kCycles, 2, kFrames));
  stopAt(8.0);
  EXPECT_EQ(capture(), 0);
  const auto samples = streams.outSamples();
  std::int64_t audio = 0;
  std::int64_t breaks = 0;
  int previous = 0;
  for (std::int16_t sample : samples) {
    if (sample == 0) continue;
    if (audio > 0 && sample != previous % kStampCycle + 1) ++breaks;
    previous = sample;
    ++audio;
  }
  EXPECT_EQ(audio, kCycles * kFrames);
  EXPECT_EQ(breaks, 0);
}

INSTANTIATE_TEST_SUITE_P(PassLengths, AudioHostDrain, ::testing::Values(0.05, 0.5, 1.5));

class AudioHostRetarget : public AudioHostCapture {
 protected:
  void SetUp() override {
    AudioHostCapture::SetUp();
    world.setSleepAdvance(kStep);
    // The child's object gets the lower id but stands later in the list: the tap wants
    // the ids sorted, the tree keeps list order.
    child = world.addProcessObject(501, false);
    own = world.addProcessObject(kTarget, false);
    world.setProcessObjectOrder({own});
  }
  void childStartsAt(double seconds) {
    world.at(t0 + seconds, [this] {
      world.addProcess(501, kTarget);
      world.setProcessObjectOrder({own, child});
    });
  }
  ObjectId child = 0;
  ObjectId own = 0;
};

// Pid mode follows the target's tree; system mode follows the trees it leaves out the same
// way, so that a child of an excluded process that starts after capture began stays out.
// Both watch kTarget's tree: one taps it, the other taps everything else.
enum class Follows { target, exclusion };

int captureFollowed(Follows follows) {
  return follows == Follows::target ? runCapture(kTarget, {}) : runCapture(std::nullopt, {kTarget});
}

std::string PrintFollows(const ::testing::TestParamInfo<Follows>& info) {
  return info.param == Follows::target ? "PidMode" : "SystemMode";
}

class AudioHostFollowedTree : public AudioHostRetarget, public ::testing::WithParamInterface<Follows> {};

TEST_P(AudioHostFollowedTree, ChildStartingIsTappedWithinAPeriod) {
  childStartsAt(1.1);
  world.at(t0 + 2.0, [this] { world.setProcessObjectOrder({child, own}); });
  stopAt(3.0);
  EXPECT_EQ(captureFollowed(GetParam()), 0);
  const auto lines = events();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].second, "{\"event\":\"retarget\",\"processes\":2}");
  EXPECT_EQ(lines[1].first, 1.25);
  const auto taps = world.tapDescriptions();
  ASSERT_EQ(taps.size(), 2u);
  EXPECT_EQ(taps[0].processes, std::vector<ObjectId>{own});
  EXPECT_EQ(taps[1].processes, (std::vector<ObjectId>{child, own}));
  EXPECT_EQ(taps[1].kind, GetParam() == Follows::target ? Kind::monoMixdownOfProcesses
                                                        : Kind::stereoGlobalExcludingProcesses);
  EXPECT_EQ(taps[1].uuid, taps[0].uuid);
  EXPECT_EQ(taps[1].name, "Dovrin Capture");
  EXPECT_TRUE(taps[1].isPrivate);
  // One tree reading at start-up, then one every 0.25 s: 0, 0.25 .. 2.75. (System mode
  // also reads the list for its rendering check at every pass.)
  if (GetParam() == Follows::target) {
    EXPECT_EQ(journalCount("size prs# glob"), 1 + 12);
  }
}

TEST_P(AudioHostFollowedTree, ChildEndingIsDroppedAgain) {
  childStartsAt(0.6);
  world.at(t0 + 1.6, [this] { world.removeProcessObject(child); });
  stopAt(2.5);
  EXPECT_EQ(captureFollowed(GetParam()), 0);
  EXPECT_EQ(eventTexts(), (std::vector<std::string>{formatLine(48000), "{\"event\":\"retarget\",\"processes\":2}",
                                                    "{\"event\":\"retarget\",\"processes\":1}"}));
  const auto taps = world.tapDescriptions();
  ASSERT_EQ(taps.size(), 3u);
  EXPECT_EQ(taps[2].processes, std::vector<ObjectId>{own});
}

INSTANTIATE_TEST_SUITE_P(Modes, AudioHostFollowedTree, ::testing::Values(Follows::target, Follows::exclusion),
                         PrintFollows);

struct RetargetFaultCase {
  int failures;
  std::vector<std::string> lines;
  int attempts;
};

class AudioHostRetargetFault : public AudioHostRetarget,
                               public ::testing::WithParamInterface<std::tuple<RetargetFaultCase, Follows>> {
 protected:
  const RetargetFaultCase& faultCase() const { return std::get<0>(GetParam()); }
  Follows follows() const { return std::get<1>(GetParam()); }
};

TEST_P(AudioHostRetargetFault, WarnedOnceAndRetriedEveryPeriod) {
  world.failProperty(Access::write, selector::tapDescription, scope::global, -10851, faultCase().failures);
  childStartsAt(0.5);
  stopAt(2.0);
  EXPECT_EQ(captureFollowed(follows()), 0);
  auto expected = faultCase().lines;
  expected.insert(expected.begin(), formatLine(48000));
  EXPECT_EQ(eventTexts(), expected);
  EXPECT_EQ(journalCount("set tdsc glob"), faultCase().attempts);
  EXPECT_GT(streams.outBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, AudioHostRetargetFault,
    ::testing::Combine(
        ::testing::Values(
            RetargetFaultCase{-1, {"{\"event\":\"warning\",\"code\":\"retarget_failed\",\"osstatus\":-10851}"}, 6},
            RetargetFaultCase{2,
                              {"{\"event\":\"warning\",\"code\":\"retarget_failed\",\"osstatus\":-10851}",
                               "{\"event\":\"retarget\",\"processes\":2}"},
                              3}),
        ::testing::Values(Follows::target, Follows::exclusion)));

TEST_F(AudioHostRetarget, NewRateIsAnnouncedWholeAndPacedExactly) {
  world.setJournal(false);
  world.at(t0 + 1.0, [this] {
    world.addProcess(501, kTarget);
    world.setProcessObjectOrder({own, child});
    world.setCaptureFormat(44100.4, 2);
  });
  stopAt(11.0);
  EXPECT_EQ(capture(), 0);
  EXPECT_EQ(eventTexts(), (std::vector<std::string>{formatLine(48000), "{\"event\":\"retarget\",\"processes\":2}",
                                                    formatLine(44100)}));
  // Silence after the change: from the pass at 1.0 to the last pass at 11.0 - kStep.
  std::size_t samples = 0;
  for (const auto& chunk : pcmChunks())
    if (chunk.at - t0 > 1.0) samples += chunk.bytes.size() / 2;
  const double expected = (10.0 - kStep) * 44100.4;
  EXPECT_NEAR(static_cast<double>(samples), expected, 1.0);
}

TEST_F(AudioHostRetarget, UnreadableFormatAfterRetargetKeepsTheRate) {
  world.at(t0 + 0.5, [this] {
    world.failProperty(Access::read, selector::virtualFormat, scope::global, -2);
    world.setCaptureFormat(96000.0, 2);
  });
  childStartsAt(0.75);
  stopAt(2.0);
  EXPECT_EQ(capture(), 0);
  EXPECT_EQ(eventTexts(), (std::vector<std::string>{formatLine(48000), "{\"event\":\"retarget\",\"processes\":2}"}));
  for (const auto& chunk : pcmChunks())
    EXPECT_EQ(chunk.bytes.size(), 2u * 1500u) << chunk.at - t0;
}

// Permission heuristic: the warning needs more than 3.0 s since start, more than 2.0 s of
// unbroken rendering reports, and no non-zero sample ever.
struct PermissionCase {
  const char* name;
  bool systemMode;
  std::function<void(SimWorld&, double t0, ObjectId own, ObjectId other)> script;
  std::optional<double> warnedAt;
};

class AudioHostPermission : public AudioHostCapture, public ::testing::WithParamInterface<PermissionCase> {};

TEST_P(AudioHostPermission, WarnsOnceExactlyWhenTheWindowsHaveRunOut) {
  world.setSleepAdvance(kStep);
  world.addProcess(600, kLauncher);
  const ObjectId own = world.addProcessObject(kTarget, false);
  const ObjectId other = world.addProcessObject(600, false);
  world.addFeed(constantFeed(0.0, 0.01, -1, 2, 480, 0.0f));
  GetParam().script(world, t0, own, other);
  stopAt(8.0);
  PidSet excluding = GetParam().systemMode ? PidSet{600} : PidSet{};
  EXPECT_EQ(capture(GetParam().systemMode ? std::nullopt : std::optional(kTarget), excluding), 0);
  std::vector<double> warnings;
  for (auto& [at, text] : events())
    if (text == kPermissionLine) warnings.push_back(at);
  if (GetParam().warnedAt) {
    EXPECT_EQ(warnings, std::vector<double>{*GetParam().warnedAt});
  } else {
    EXPECT_TRUE(warnings.empty());
  }
}

void playing(SimWorld& world, double at, ObjectId object, bool on) {
  world.at(at, [&world, object, on] { world.setRunningOutput(object, on); });
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, AudioHostPermission,
    ::testing::Values(
        PermissionCase{"PlayingFromTheStart", false,
                       [](SimWorld& w, double, ObjectId own, ObjectId) { w.setRunningOutput(own, true); },
                       3.0 + kStep},
        PermissionCase{"PlayingFromLater", false,
                       [](SimWorld& w, double t0, ObjectId own, ObjectId) { playing(w, t0 + 2.5, own, true); },
                       4.5 + kStep},
        PermissionCase{"ReportDropsOutForAPass", false,
                       [](SimWorld& w, double t0, ObjectId own, ObjectId) {
                         w.setRunningOutput(own, true);
                         playing(w, t0 + 1.5, own, false);
                         playing(w, t0 + 1.5 + kStep, own, true);
                       },
                       3.5 + 2 * kStep},
        PermissionCase{"NonZeroSampleBeforehand", false,
                       [](SimWorld& w, double, ObjectId own, ObjectId) {
                         w.setRunningOutput(own, true);
                         w.addFeed(constantFeed(1.0, 1.0, 1, 2, 4, 0.001f));
                       },
                       std::nullopt},
        PermissionCase{"OnlyAnotherProcessPlays", false,
                       [](SimWorld& w, double, ObjectId, ObjectId other) { w.setRunningOutput(other, true); },
                       std::nullopt},
        PermissionCase{"SystemAnyProcessPlays", true,
                       [](SimWorld& w, double, ObjectId own, ObjectId) { w.setRunningOutput(own, true); },
                       3.0 + kStep},
        PermissionCase{"SystemOnlyExcludedPlays", true,
                       [](SimWorld& w, double, ObjectId, ObjectId other) { w.setRunningOutput(other, true); },
                       std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(AudioHostCapture, ExcludedDescendantOfTheTargetIsTappedButDoesNotCountAsPlaying) {
  world.setSleepAdvance(kStep);
  world.addProcess(501, kTarget);
  const ObjectId own = world.addProcessObject(kTarget, false);
  const ObjectId helper = world.addProcessObject(501, true);
  world.addFeed(constantFeed(0.0, 0.01, -1, 2, 480, 0.0f));
  stopAt(6.0);
  EXPECT_EQ(capture(kTarget, {501}), 0);
  EXPECT_EQ(eventTexts(), std::vector<std::string>{formatLine(48000)});
  EXPECT_EQ(world.tapDescriptions().at(0).processes, (std::vector<ObjectId>{own, helper}));
}

TEST_F(AudioHostCapture, EmptyTreeTapsNothingAndNeverCountsAsPlaying) {
  world.addProcess(600, kLauncher);
  world.addProcessObject(600, true);
  stopAt(5.0);
  EXPECT_EQ(capture(), 0);
  EXPECT_EQ(eventTexts(), std::vector<std::string>{formatLine(48000)});
  const auto tap = world.tapDescriptions().at(0);
  EXPECT_EQ(tap.kind, Kind::monoMixdownOfProcesses);
  EXPECT_TRUE(tap.processes.empty());
}

TEST_F(AudioHostCapture, SystemModeLeavesOutExcludedTrees) {
  world.addProcess(600, kLauncher);
  world.addProcess(601, 600);
  const ObjectId a = world.addProcessObject(601);
  world.addProcessObject(kTarget);
  const ObjectId b = world.addProcessObject(600);
  stopAt(0.1);
  EXPECT_EQ(capture(std::nullopt, {600, 77}), 0);
  const auto tap = world.tapDescriptions().at(0);
  EXPECT_EQ(tap.kind, Kind::stereoGlobalExcludingProcesses);
  EXPECT_EQ(tap.processes, (std::vector<ObjectId>{a, b}));
}

TEST_F(AudioHostCapture, TargetEndingStopsTheRunWithSuccess) {
  world.addProcessObject(kTarget, true);
  world.setSleepAdvance(kStep);
  world.at(t0 + 1.0, [this] { world.endProcess(kTarget); });
  EXPECT_EQ(capture(), 0);
  EXPECT_EQ(eventTexts(), (std::vector<std::string>{formatLine(48000), kGoneLine}));
  EXPECT_EQ(events().back().first, 1.0);
  EXPECT_EQ(lifecycle(), kFullLifecycle);
  expectReleased();
}

TEST_F(AudioHostCapture, TargetOfAnotherUserCountsAsAlive) {
  world.setSignalZeroError(kTarget, EPERM);
  stopAt(1.0);
  EXPECT_EQ(capture(), 0);
  EXPECT_EQ(eventTexts(), std::vector<std::string>{formatLine(48000)});
}

// Start-up failures: one line, exit 1, and only what was created is released, newest first.
struct StartupCase {
  const char* name;
  std::function<void(SimWorld&)> fault;
  std::string line;
  std::vector<std::string> lifecycle;
};

class AudioHostStartup : public AudioHostCapture, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(AudioHostStartup, FailsWithItsLineAndReleasesInOrder) {
  world.addProcessObject(kTarget, true);
  GetParam().fault(world);
  EXPECT_EQ(capture(), 1);
  EXPECT_EQ(eventTexts(), std::vector<std::string>{GetParam().line});
  EXPECT_EQ(streams.outBytes(), 0u);
  EXPECT_EQ(lifecycle(), GetParam().lifecycle);
  expectReleased();
}

const std::vector<std::string> kUntilAggregate{"createProcessTap", "createAggregateDevice", "destroyAggregateDevice",
                                               "destroyProcessTap"};
const std::vector<std::string> kUntilIoProc{"createProcessTap", "createAggregateDevice", "createIoProc",
                                            "destroyAggregateDevice", "destroyProcessTap"};

INSTANTIATE_TEST_SUITE_P(
    Faults, AudioHostStartup,
    ::testing::Values(
        StartupCase{"TargetAbsent", [](SimWorld& w) { w.endProcess(kTarget); }, kGoneLine, {}},
        StartupCase{"TapCreation", [](SimWorld& w) { w.failCall("createProcessTap", 560947818); },
                    "{\"event\":\"error\",\"code\":\"activation_failed\",\"osstatus\":560947818}", {"createProcessTap"}},
        StartupCase{"TapCreationNegative", [](SimWorld& w) { w.failCall("createProcessTap", -4); },
                    "{\"event\":\"error\",\"code\":\"activation_failed\",\"osstatus\":-4}", {"createProcessTap"}},
        StartupCase{"AggregateCreation", [](SimWorld& w) { w.failCall("createAggregateDevice", 1); }, kInitializeLine,
                    {"createProcessTap", "createAggregateDevice", "destroyProcessTap"}},
        StartupCase{"StreamListSize",
                    [](SimWorld& w) { w.failProperty(Access::size, selector::streams, scope::input, -2); },
                    kInitializeLine, kUntilAggregate},
        StartupCase{"NoStreams", [](SimWorld& w) { w.setStreamCount(0); }, kInitializeLine, kUntilAggregate},
        StartupCase{"StreamListRead",
                    [](SimWorld& w) { w.failProperty(Access::read, selector::streams, scope::input, -2); },
                    kInitializeLine, kUntilAggregate},
        StartupCase{"FormatRead",
                    [](SimWorld& w) { w.failProperty(Access::read, selector::virtualFormat, scope::global, -2); },
                    kInitializeLine, kUntilAggregate},
        StartupCase{"ZeroRate", [](SimWorld& w) { w.setCaptureFormat(0.0, 2); }, kInitializeLine, kUntilAggregate},
        StartupCase{"NegativeRate", [](SimWorld& w) { w.setCaptureFormat(-48000.0, 2); }, kInitializeLine,
                    kUntilAggregate},
        StartupCase{"NanRate", [](SimWorld& w) { w.setCaptureFormat(NAN, 2); }, kInitializeLine, kUntilAggregate},
        StartupCase{"InfiniteRate", [](SimWorld& w) { w.setCaptureFormat(INFINITY, 2); }, kInitializeLine,
                    kUntilAggregate},
        StartupCase{"IoProcCreation", [](SimWorld& w) { w.failCall("createIoProc", 5); }, kInitializeLine,
                    kUntilIoProc},
        StartupCase{"NullIoProcId", [](SimWorld& w) { w.giveNullIoProcId(true); }, kInitializeLine, kUntilIoProc},
        StartupCase{"DeviceStart", [](SimWorld& w) { w.failCall("startDevice", 6); }, kInitializeLine,
                    {"createProcessTap", "createAggregateDevice", "createIoProc", "startDevice", "destroyIoProc",
                     "destroyAggregateDevice", "destroyProcessTap"}}),
    [](const auto& test) { return std::string(test.param.name); });

// A reader that hangs up ends the run at once, with the same ordered teardown.
struct OutputCase {
  int error;
  int exitCode;
};

class AudioHostOutputFailure : public AudioHostCapture, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(AudioHostOutputFailure, EndsPromptlyWithoutSpinning) {
  world.addFeed(constantFeed(0.0, 0.01, -1, 2, 480, 0.25f));
  streams.failOutputAfter(20000, GetParam().error);
  stopAt(60.0);
  EXPECT_EQ(capture(), GetParam().exitCode);
  EXPECT_EQ(streams.failedWrites(), 1);
  EXPECT_LE(world.now() - t0, 0.5);
  EXPECT_EQ(eventTexts(), std::vector<std::string>{formatLine(48000)});
  EXPECT_EQ(lifecycle(), kFullLifecycle);
  expectReleased();
}

INSTANTIATE_TEST_SUITE_P(Errors, AudioHostOutputFailure,
                         ::testing::Values(OutputCase{EPIPE, 0}, OutputCase{EIO, 1}, OutputCase{ENOSPC, 1}));

// The IO thread runs freely against the writer, as a device does: stamps arrive in order,
// and everything delivered before the last pass is written.
TEST_F(AudioHostCapture, FreeRunningDeviceAgainstTheWriter) {
  constexpr std::uint32_t kFrames = 256;
  constexpr std::int64_t kCycles = 48000 * 3 / kFrames;
  world.setJournal(false);
  world.setFreeRunning(true);
  world.addFeed(stampedFeed(kFrames / 48000.0, kCycles, 2, kFrames));
  stopAt(4.0);
  EXPECT_EQ(capture(), 0);
  std::int64_t audio = 0;
  int previous = 0;
  bool ordered = true;
  for (std::int16_t sample : streams.outSamples()) {
    if (sample == 0) continue;
    ordered = ordered && (audio == 0 || sample == previous % kStampCycle + 1);
    previous = sample;
    ++audio;
  }
  EXPECT_TRUE(ordered);
  EXPECT_EQ(audio, kCycles * kFrames);
  expectReleased();
}

}  // namespace
}  // namespace dovrin::audio_host::testing
