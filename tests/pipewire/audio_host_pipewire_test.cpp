// dovrin-audio-host end to end on a real PipeWire graph: each test starts a private graph,
// plays tones from child process trees and runs the program as a child of its own.
// Levels: a wanted tone above -12 dBFS, an unwanted one below -50 dBFS (Goertzel, Hann).

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "graph_fixture.h"
#include "reference_signal.h"

namespace dovrin::pipewire_test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr double kWanted = -12.0;
constexpr double kUnwanted = -50.0;
constexpr std::size_t kRate = 48000;

std::string tone() { return DOVRIN_TONE_PATH; }
std::string host() { return DOVRIN_HOST_PATH; }

double wallNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A tone player under a shell: the shell P is the tree's root, the player its child C.
// With `held`, the child starts only once release(folder, name) is called.
Child playerTree(const std::string& folder, const std::string& name, double frequency, double seconds,
                 bool held = false) {
  const std::string path = folder + "/" + name;
  std::ostringstream script;
  if (held) script << "while [ ! -e '" << path << ".go' ]; do sleep 0.01; done; ";
  script << "date +%s.%N > '" << path << ".start'; '" << tone() << "' " << frequency << " " << seconds
         << " & echo $! > '" << path << ".child'; wait";
  return Child::spawn({"sh", "-c", script.str()});
}

void release(const std::string& folder, const std::string& name) {
  std::ofstream(folder + "/" + name + ".go") << "go\n";
}

pid_t childOf(const std::string& folder, const std::string& name) {
  pid_t pid = 0;
  waitUntil([&] {
    std::ifstream file(folder + "/" + name + ".child");
    return static_cast<bool>(file >> pid) && pid > 0;
  }, 10s);
  return pid;
}

Json listing() {
  const auto result = run({host(), "--list"});
  auto parsed = Json::parse(result.out, nullptr, false);
  return parsed.is_discarded() ? Json::array() : parsed;
}

std::optional<Json> entryFor(const Json& list, pid_t pid) {
  for (const auto& entry : list)
    if (entry.value("id", "") == "pid:" + std::to_string(pid)) return entry;
  return std::nullopt;
}

bool listedActive(pid_t pid) {
  auto entry = entryFor(listing(), pid);
  return entry && entry->value("active", false);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::stringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) result.push_back(line);
  return result;
}

// A running capture: the program with its PCM and event lines in files.
struct Capture {
  Capture(const std::string& folder, const std::string& name, const std::vector<std::string>& arguments)
      : pcmPath(folder + "/" + name + ".pcm"), eventsPath(folder + "/" + name + ".events") {
    std::vector<std::string> argv = {host()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process = Child::spawn(argv, pcmPath, eventsPath);
    started = wallNow();
  }
  bool formatSeen() {
    return waitUntil([&] { return readFile(eventsPath).find("\"format\"") != std::string::npos; }, 10s);
  }
  // SIGINT, then the exit status; -1 when it did not end in time.
  int stop(int signal = SIGINT) {
    process.signal(signal);
    auto status = process.wait(5s);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }
  std::vector<std::int16_t> pcm() const { return readPcm(pcmPath); }
  std::vector<std::string> events() const { return lines(readFile(eventsPath)); }

  std::string pcmPath;
  std::string eventsPath;
  Child process;
  double started = 0.0;
};

std::size_t at(double seconds) { return static_cast<std::size_t>(seconds * kRate); }

std::string levels(const std::vector<std::int16_t>& pcm, std::size_t from, std::size_t to,
                   std::initializer_list<double> frequencies) {
  std::ostringstream text;
  for (double f : frequencies) text << f << " Hz: " << toneLevel(pcm, from, to, f) << " dBFS  ";
  return text.str();
}

std::size_t countLinesWith(const std::vector<std::string>& events, const std::string& needle) {
  return static_cast<std::size_t>(
      std::count_if(events.begin(), events.end(), [&](const std::string& line) { return line.find(needle) != std::string::npos; }));
}

// Capture nodes and links left in the graph by any dovrin-audio-host.
std::size_t captureLeftovers() {
  const auto links = run({"pw-link", "-l"}).out;
  const auto nodes = run({"pw-cli", "ls", "Node"}).out;
  std::size_t count = 0;
  for (const auto& text : {links, nodes}) {
    for (std::size_t at = text.find("dovrin-capture"); at != std::string::npos; at = text.find("dovrin-capture", at + 1))
      ++count;
  }
  return count;
}

class AudioHostOnPipeWire : public ::testing::Test {
 protected:
  void startGraph(bool pulse) {
    if (auto missing = missingProgram(pulse))
      GTEST_SKIP() << "PipeWire test programs are not installed (" << *missing
                   << " missing); scripts/deps.sh installs them";
    std::string why;
    ASSERT_TRUE(graph.start(pulse, why)) << why;
    folder = graph.base();
  }
  void TearDown() override { graph.stop(); }

  // A 440 Hz player under a shell, an unrelated 1000 Hz native player and a
  // 660 Hz PulseAudio client, each listed as active before this returns.
  struct ThreePlayers {
    Child tree, unrelated, pulse;
    pid_t child = -1;  // the tree's player
  };
  void startThreePlayers(ThreePlayers& p) {
    p.tree = playerTree(folder, "tree", 440, 20);
    p.unrelated = Child::spawn({tone(), "1000", "20"});
    writeStereoSine(folder + "/660.raw", 660, 20);
    p.pulse = Child::spawn({"paplay", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                            folder + "/660.raw"});
    p.child = childOf(folder, "tree");
    ASSERT_GT(p.child, 0);
    ASSERT_TRUE(waitUntil(
        [&] { return listedActive(p.child) && listedActive(p.unrelated.pid()) && listedActive(p.pulse.pid()); }, 10s))
        << listing().dump();
  }

  PrivateGraph graph;
  std::string folder;
};

TEST_F(AudioHostOnPipeWire, ListShowsNativeAndPulsePlayersByTheirOwnPids) {
  startGraph(true);
  if (IsSkipped()) return;
  ThreePlayers players;
  startThreePlayers(players);
  if (HasFatalFailure()) return;
  const Json list = listing();
  for (pid_t player : {players.child, players.unrelated.pid(), players.pulse.pid()}) {
    auto entry = entryFor(list, player);
    ASSERT_TRUE(entry) << player << " missing in " << list.dump();
    EXPECT_FALSE(entry->value("label", "").empty()) << entry->dump();
    EXPECT_FALSE(entry->value("exe", "").empty()) << entry->dump();
  }
  EXPECT_EQ(entryFor(list, players.pulse.pid())->value("label", ""), "paplay");
  EXPECT_FALSE(entryFor(list, players.tree.pid())) << "the parent shell plays nothing itself: " << list.dump();
  EXPECT_EQ(list.size(), 3u) << list.dump();
}

// Three captures at once: a tree, a PulseAudio client, and everything but the tree.
TEST_F(AudioHostOnPipeWire, CapturesExactlyTheSelectedProcessTrees) {
  startGraph(true);
  if (IsSkipped()) return;
  ThreePlayers players;
  startThreePlayers(players);
  if (HasFatalFailure()) return;
  const std::string tree = std::to_string(players.tree.pid());
  Capture ofTree(folder, "tree", {"--target", "pid:" + tree});
  Capture ofPulse(folder, "pulse", {"--target", "pid:" + std::to_string(players.pulse.pid())});
  Capture allButTree(folder, "system", {"--target", "system", "--exclude-pids", tree});
  for (Capture* capture : {&ofTree, &ofPulse, &allButTree}) ASSERT_TRUE(capture->formatSeen());
  std::this_thread::sleep_for(2500ms);
  for (Capture* capture : {&ofTree, &ofPulse, &allButTree}) EXPECT_EQ(capture->stop(), 0);

  struct Expectation {
    Capture* capture;
    std::vector<double> wanted;
    std::vector<double> unwanted;
  };
  for (const auto& [capture, wanted, unwanted] : {Expectation{&ofTree, {440}, {1000, 660}},
                                                 Expectation{&ofPulse, {660}, {440, 1000}},
                                                 Expectation{&allButTree, {1000, 660}, {440}}}) {
    const auto pcm = capture->pcm();
    ASSERT_GT(pcm.size(), at(2.2)) << capture->pcmPath;
    const std::size_t from = at(0.5);
    const std::size_t to = at(2.2);
    const std::string seen = levels(pcm, from, to, {440, 660, 1000});
    std::printf("[ levels   ] %s: %s\n", capture->pcmPath.c_str(), seen.c_str());
    for (double f : wanted) EXPECT_GT(toneLevel(pcm, from, to, f), kWanted) << capture->pcmPath << ": " << seen;
    for (double f : unwanted) EXPECT_LT(toneLevel(pcm, from, to, f), kUnwanted) << capture->pcmPath << ": " << seen;
    EXPECT_EQ(capture->events().front(), "{\"event\":\"format\",\"sampleRate\":48000,\"channels\":1,\"encoding\":\"s16le\"}");
  }
}

// The child starts playing a second after the capture of its parent has begun.
TEST_F(AudioHostOnPipeWire, FollowsAChildThatStartsPlayingLater) {
  startGraph(false);
  if (IsSkipped()) return;
  Child tree = playerTree(folder, "late", 880, 6, true);
  Capture capture(folder, "late", {"--target", "pid:" + std::to_string(tree.pid())});
  ASSERT_TRUE(capture.formatSeen());
  std::this_thread::sleep_for(1000ms);
  release(folder, "late");
  double retargetAt = 0.0;
  ASSERT_TRUE(waitUntil([&] {
    if (readFile(capture.eventsPath).find("\"retarget\"") == std::string::npos) return false;
    retargetAt = wallNow();
    return true;
  }, 10s)) << readFile(capture.eventsPath);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(capture.stop(), 0);

  double childStarted = 0.0;
  std::ifstream(folder + "/late.start") >> childStarted;
  const double latency = retargetAt - childStarted;
  std::printf("[ latency  ] retarget %.0f ms after the child was started\n", latency * 1000.0);
  EXPECT_LT(latency, 0.5);
  const auto events = capture.events();
  EXPECT_EQ(countLinesWith(events, "{\"event\":\"retarget\",\"processes\":1}"), 1u) << readFile(capture.eventsPath);

  const auto pcm = capture.pcm();
  const double childOffset = childStarted - capture.started;
  const std::size_t before = at(std::max(childOffset - 0.1, 0.0));
  ASSERT_GT(before, at(0.5));
  const bool silent = std::all_of(pcm.begin() + static_cast<std::ptrdiff_t>(at(0.2)),
                                  pcm.begin() + static_cast<std::ptrdiff_t>(before), [](std::int16_t s) { return s == 0; });
  EXPECT_TRUE(silent) << "audio before the child played";
  const std::size_t after = at(retargetAt - capture.started + 0.3);
  ASSERT_GT(pcm.size(), after + at(0.8));
  EXPECT_GT(toneLevel(pcm, after, pcm.size() - at(0.2), 880), kWanted) << levels(pcm, after, pcm.size(), {880});
}

// One connection, three streams with gaps; then the player exits.
TEST_F(AudioHostOnPipeWire, KeepsAProcessThatReopensItsStreamAndEndsWithIt) {
  startGraph(false);
  if (IsSkipped()) return;
  // Streams long enough for a slow (sanitized) program to start within the first: a program
  // that starts in a gap cannot know the connection ever had a stream.
  Child player = Child::spawn({tone(), "550", "2", "3", "0.5"});
  ASSERT_TRUE(waitUntil([&] { return listedActive(player.pid()); }, 10s));
  Capture capture(folder, "reopen", {"--target", "pid:" + std::to_string(player.pid())});
  ASSERT_TRUE(capture.formatSeen());
  // The capture ends by itself once the player has gone (and been reaped: a zombie still
  // answers signal 0).
  waitUntil([&] { return !player.running() && !capture.process.running(); }, 15s);
  auto status = capture.process.wait(0ms);
  ASSERT_TRUE(status && WIFEXITED(*status)) << "capture did not end with its target";
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  const auto events = capture.events();
  EXPECT_EQ(events.back(), "{\"event\":\"error\",\"code\":\"no_such_audio_process\"}");
  EXPECT_EQ(countLinesWith(events, "retarget"), 0u) << readFile(capture.eventsPath);

  // 100 ms frames: the tone is on in each stream and silent in each 0.5 s gap. A loaded
  // machine may add short silences of the host's own (it keeps wall-clock pace), so only
  // silences of 300 ms or more between sounding frames count as gaps.
  const auto pcm = capture.pcm();
  std::string frames;  // '+' tone, '.' silence, '?' neither
  for (std::size_t frame = 0; frame + at(0.1) <= pcm.size(); frame += at(0.1)) {
    const double level = toneLevel(pcm, frame, frame + at(0.1), 550);
    frames += level > kWanted ? '+' : level < kUnwanted ? '.' : '?';
  }
  const auto first = frames.find('+');
  const auto last = frames.rfind('+');
  ASSERT_NE(first, std::string::npos) << "550 Hz never heard";
  int gaps = 0;
  for (std::size_t i = first, silent = 0; i <= last; ++i) {
    silent = frames[i] == '.' ? silent + 1 : 0;
    if (silent == 3) ++gaps;
  }
  EXPECT_EQ(gaps, 2) << "three streams with two gaps expected: " << frames;
  EXPECT_GE(std::count(frames.begin(), frames.end(), '+'), 40) << frames;
}

TEST_F(AudioHostOnPipeWire, SystemCaptureLeavesOutALaterChildOfAnExcludedProcess) {
  startGraph(false);
  if (IsSkipped()) return;
  Child unrelated = Child::spawn({tone(), "1000", "10"});
  Child excluded = playerTree(folder, "excluded", 440, 6, true);
  ASSERT_TRUE(waitUntil([&] { return listedActive(unrelated.pid()); }, 10s));
  Capture capture(folder, "system", {"--target", "system", "--exclude-pids", std::to_string(excluded.pid())});
  ASSERT_TRUE(capture.formatSeen());
  release(folder, "excluded");
  const pid_t child = childOf(folder, "excluded");
  ASSERT_TRUE(waitUntil([&] { return listedActive(child); }, 10s));
  std::this_thread::sleep_for(2000ms);
  const std::string links = run({"pw-link", "-l"}).out;
  EXPECT_EQ(capture.stop(), 0);
  double childStarted = 0.0;
  std::ifstream(folder + "/excluded.start") >> childStarted;
  const auto pcm = capture.pcm();
  const std::size_t from = at(childStarted - capture.started + 0.5);
  ASSERT_GT(pcm.size(), from + at(1.0));
  const std::string seen = levels(pcm, from, pcm.size() - at(0.2), {440, 1000});
  std::printf("[ levels   ] system minus a later child: %s\n", seen.c_str());
  EXPECT_GT(toneLevel(pcm, from, pcm.size() - at(0.2), 1000), kWanted) << seen << "\n" << links;
  EXPECT_LT(toneLevel(pcm, from, pcm.size() - at(0.2), 440), kUnwanted)
      << "the excluded tree's later child is captured: " << seen << "\n" << links;
}

TEST_F(AudioHostOnPipeWire, StopsOnSigtermAndLeavesNothingBehindEvenAfterSigkill) {
  startGraph(false);
  if (IsSkipped()) return;
  Child player = Child::spawn({tone(), "440", "20"});
  ASSERT_TRUE(waitUntil([&] { return listedActive(player.pid()); }, 10s));
  for (int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGKILL");
    Capture capture(folder, "stop", {"--target", "pid:" + std::to_string(player.pid())});
    ASSERT_TRUE(capture.formatSeen());
    ASSERT_TRUE(waitUntil([&] { return captureLeftovers() > 0; }, 5s)) << "no capture node or link seen";
    std::this_thread::sleep_for(500ms);
    capture.process.signal(signal);
    const auto sent = std::chrono::steady_clock::now();
    auto status = capture.process.wait(5s);
    ASSERT_TRUE(status);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
    if (signal == SIGTERM) {
      EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
      std::printf("[ stop     ] SIGTERM to exit: %lld ms\n", static_cast<long long>(took.count()));
      EXPECT_EQ(capture.events().size(), 1u) << "no event line after the format line";
    }
    EXPECT_TRUE(waitUntil([&] { return captureLeftovers() == 0; }, 3s))
        << run({"pw-link", "-l"}).out << run({"pw-cli", "ls", "Node"}).out;
  }
}

// On Linux a stream stays running while its process is stopped: the process is active and
// the capture is silent, which is what the silence warning reports here.
TEST_F(AudioHostOnPipeWire, AStoppedPlayerIsActiveAndItsSilenceIsReported) {
  startGraph(false);
  if (IsSkipped()) return;
  Child player = Child::spawn({tone(), "440", "20"});
  ASSERT_TRUE(waitUntil([&] { return listedActive(player.pid()); }, 10s));
  player.signal(SIGSTOP);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(listedActive(player.pid())) << listing().dump();
  Capture capture(folder, "stopped", {"--target", "pid:" + std::to_string(player.pid())});
  ASSERT_TRUE(capture.formatSeen());
  const bool warned = waitUntil([&] { return readFile(capture.eventsPath).find("silent_no_permission") != std::string::npos; },
                                8s);
  EXPECT_EQ(capture.stop(), 0);
  player.signal(SIGCONT);
  EXPECT_TRUE(warned) << readFile(capture.eventsPath);
  const auto pcm = capture.pcm();
  EXPECT_GT(pcm.size(), at(2.0));
  EXPECT_TRUE(std::all_of(pcm.begin(), pcm.end(), [](std::int16_t v) { return v == 0; }));
}

struct PulseVolume {
  std::string volume;
  std::string mute;
};

PulseVolume pulseVolume(const std::string& kind, const std::string& name) {
  return {run({"pactl", "get-" + kind + "-volume", name}).out, run({"pactl", "get-" + kind + "-mute", name}).out};
}

TEST_F(AudioHostOnPipeWire, SetsASinkAndASourceToUnityGain) {
  startGraph(true);
  if (IsSkipped()) return;
  struct Case {
    std::string kind;
    std::string node;
    std::string needle;
    std::string report;
  };
  // A sink's input side is its monitor, which the null sink keeps at 1.0: "before" reads it.
  const Case cases[] = {
      {"sink", "ci_sink", "CI null",
       "{\"found\":true,\"name\":\"CI null sink\",\"changed\":true,\"before\":1.0000,\"after\":1.0000,\"unmuted\":true}\n"},
      {"source", "ci_source", "virtual source",
       "{\"found\":true,\"name\":\"CI virtual source\",\"changed\":true,\"before\":0.5000,\"after\":1.0000,"
       "\"unmuted\":true}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.node);
    ASSERT_EQ(run({"pactl", "set-" + c.kind + "-volume", c.node, "50%"}).status, 0);
    ASSERT_EQ(run({"pactl", "set-" + c.kind + "-mute", c.node, "1"}).status, 0);
    ASSERT_NE(pulseVolume(c.kind, c.node).volume.find("50%"), std::string::npos);
    const auto first = run({host(), "--ensure-unity-gain", c.needle});
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, c.report);
    const auto read = pulseVolume(c.kind, c.node);
    EXPECT_NE(read.volume.find("100%"), std::string::npos) << read.volume;
    EXPECT_EQ(read.volume.find("50%"), std::string::npos) << read.volume;
    EXPECT_NE(read.mute.find("no"), std::string::npos) << read.mute;
    const auto second = run({host(), "--ensure-unity-gain", c.needle});
    EXPECT_EQ(second.status, 0);
    auto report = Json::parse(second.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << second.out;
    EXPECT_EQ(report.value("changed", true), false) << second.out;
    EXPECT_EQ(report.value("unmuted", true), false) << second.out;
    EXPECT_DOUBLE_EQ(report.value("after", 0.0), 1.0) << second.out;
  }
  const auto unknown = run({host(), "--ensure-unity-gain", "No such device"});
  EXPECT_EQ(unknown.status, 0);
  EXPECT_EQ(unknown.out, "{\"found\":false}\n");
}

// The reference sequence on both channels: the mono capture must be those samples.
TEST_F(AudioHostOnPipeWire, CapturesThePlayersSamples) {
  startGraph(false);
  if (IsSkipped()) return;
  Child player = Child::spawn({tone(), "0", "20"});
  ASSERT_TRUE(waitUntil([&] { return listedActive(player.pid()); }, 10s));
  Capture capture(folder, "fidelity", {"--target", "pid:" + std::to_string(player.pid())});
  ASSERT_TRUE(capture.formatSeen());
  std::this_thread::sleep_for(2000ms);
  EXPECT_EQ(capture.stop(), 0);
  const auto pcm = capture.pcm();
  ASSERT_GT(pcm.size(), at(1.5));

  auto expected = [](std::uint64_t frame) {
    return static_cast<std::int16_t>(dovrin_pw_reference(frame) * 32767.0f);
  };
  // Where in the reference sequence a stretch of the capture lies: its first 32 samples
  // within 2 LSB.
  auto locate = [&](std::size_t start, std::uint64_t from, std::uint64_t to) -> std::optional<std::uint64_t> {
    for (std::uint64_t frame = from; frame < to; ++frame) {
      bool match = true;
      for (std::size_t i = 0; i < 32 && match; ++i) match = std::abs(expected(frame + i) - pcm[start + i]) <= 2;
      if (match) return frame;
    }
    return std::nullopt;
  };
  // The host keeps wall-clock pace: when the graph delivers late (a loaded machine, a
  // sanitized build) it writes silence, and the played samples go on after it. So the
  // capture is walked as stretches, each aligned by itself and followed for as long as it
  // matches; every sounding sample should lie in such a stretch.
  const std::size_t end = pcm.size() - at(0.1);
  std::optional<std::uint64_t> lastOffset;  // reference frame minus capture index
  std::size_t sounding = 0;
  std::size_t aligned = 0;
  std::size_t stretches = 0;
  std::size_t exact = 0;
  double xy = 0.0;
  double xx = 0.0;
  double yy = 0.0;
  for (std::size_t position = at(0.3); position + 32 <= end;) {
    if (pcm[position] == 0) {
      ++position;
      continue;
    }
    std::optional<std::uint64_t> frame;
    if (lastOffset) {
      const std::uint64_t guess = position + *lastOffset;
      frame = locate(position, guess > kRate ? guess - kRate : 0, guess + kRate);
    }
    if (!frame) frame = locate(position, 0, 30 * kRate);
    if (!frame) {
      sounding += 32;
      position += 32;
      continue;
    }
    ++stretches;
    lastOffset = *frame - position;
    std::size_t i = 0;
    for (; position + i < end && std::abs(expected(*frame + i) - pcm[position + i]) <= 2; ++i) {
      const double x = expected(*frame + i);
      const double y = pcm[position + i];
      xy += x * y;
      xx += x * x;
      yy += y * y;
      exact += expected(*frame + i) == pcm[position + i] ? 1 : 0;
    }
    sounding += i;
    aligned += i;
    position += i;
  }
  ASSERT_GT(sounding, at(1.0));
  const double correlation = xy / std::sqrt(xx * yy);
  std::printf("[ fidelity ] %zu of %zu sounding samples aligned in %zu stretches, correlation %.7f, %zu bit-exact\n",
              aligned, sounding, stretches, correlation, exact);
  EXPECT_GE(static_cast<double>(aligned), 0.99 * static_cast<double>(sounding))
      << "the played samples were not found in the capture";
  EXPECT_GE(correlation, 0.9999);
}

}  // namespace
}  // namespace dovrin::pipewire_test

namespace dovrin::pipewire_test {
namespace {

// No daemon to reach: the answers of a machine without an audio system, at once.
TEST(AudioHostWithoutPipeWire, AnswersAsTheNoAudioSystemBackend) {
  char folder[] = "/tmp/dovrin-nograph-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  setenv("XDG_RUNTIME_DIR", folder, 1);
  setenv("PIPEWIRE_RUNTIME_DIR", folder, 1);
  unsetenv("PIPEWIRE_REMOTE");
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{"--list"}, 0, "[]", ""},
      {{"--target", "system"}, 1, "", "{\"event\":\"error\",\"code\":\"activation_failed\",\"osstatus\":-50005}\n"},
      {{"--target", "pid:" + std::to_string(getpid())},
       1,
       "",
       "{\"event\":\"error\",\"code\":\"activation_failed\",\"osstatus\":-50005}\n"},
      {{"--ensure-unity-gain", "CI null"}, 0, "{\"found\":false}\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    std::vector<std::string> argv = {host()};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    Child program = Child::spawn(argv, std::string(folder) + "/out", std::string(folder) + "/err");
    auto status = program.wait(10s);
    ASSERT_TRUE(status) << "no answer without a daemon";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), c.status);
    EXPECT_EQ(readFile(std::string(folder) + "/out"), c.out);
    EXPECT_EQ(readFile(std::string(folder) + "/err"), c.err);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace
}  // namespace dovrin::pipewire_test
