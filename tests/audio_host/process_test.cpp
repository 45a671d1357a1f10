// The program's entry in a forked child, standard output and standard error on pipes.
// The parent starts no thread of its own, so fork stays safe under every sanitizer.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio_host/entry.h"
#include "dovrin/platform/sim/sim_world.h"

namespace dovrin::audio_host {
namespace {

using platform::sim::SimDevice;
using platform::sim::SimWorld;

const std::string kUsageText(kUsage);
const std::string kGone = "{\"event\":\"error\",\"code\":\"no_such_audio_process\"}\n";
const std::string kFormat48k = "{\"event\":\"format\",\"sampleRate\":48000,\"channels\":1,\"encoding\":\"s16le\"}\n";
constexpr std::int32_t kTarget = 500;

template <class Case>
  requires requires(const Case& c) { std::string(c.name); }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

struct ChildRun {
  int status = -1;
  std::string out;
  std::string err;
};

struct ChildOptions {
  int signalOnFirstLine = 0;        // sent once standard error holds a whole line
  bool closeOutputOnFirstLine = false;
  int signalOnceOutputFull = 0;     // standard output is never read; sent once its pipe stays full
  int deadlineSeconds = 30;
};

ChildRun runChild(const std::vector<std::string>& arguments, ChildOptions options = {}) {
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    std::vector<std::string> storage{"dovrin-audio-host"};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : storage) argv.push_back(text.data());
    argv.push_back(nullptr);
    _exit(hostMain(static_cast<int>(storage.size()), argv.data()));
  }
  close(out[1]);
  close(err[1]);
  ChildRun run;
  int outFd = out[0];
  int errFd = err[0];
  bool acted = false;
  const bool readOutput = options.signalOnceOutputFull == 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.deadlineSeconds);
  // The child writes at every pass, so output that stops growing means its writer is stuck
  // on the full pipe.
  int queuedBefore = -1;
  auto unchangedSince = std::chrono::steady_clock::now();
  while (((readOutput && outFd >= 0) || errFd >= 0) && std::chrono::steady_clock::now() < deadline) {
    if (!readOutput && !acted) {
      int queued = 0;
      const auto now = std::chrono::steady_clock::now();
      if (ioctl(outFd, FIONREAD, &queued) != 0 || queued != queuedBefore) {
        queuedBefore = queued;
        unchangedSince = now;
      } else if (queued > 0 && now - unchangedSince > std::chrono::milliseconds(300)) {
        acted = true;
        kill(child, options.signalOnceOutputFull);
      }
    }
    pollfd fds[2] = {{readOutput ? outFd : -1, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (poll(fds, 2, 100) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        (i == 0 ? outFd : errFd) = -1;
        continue;
      }
      (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
    }
    if (readOutput && !acted && run.err.find('\n') != std::string::npos) {
      acted = true;
      if (options.signalOnFirstLine != 0) kill(child, options.signalOnFirstLine);
      if (options.closeOutputOnFirstLine && outFd >= 0) {
        close(outFd);
        outFd = -1;
      }
    }
  }
  if ((readOutput && outFd >= 0) || errFd >= 0) {
    kill(child, SIGKILL);
    ADD_FAILURE() << "child did not finish";
  }
  for (int fd : {outFd, errFd})
    if (fd >= 0) close(fd);
  waitpid(child, &run.status, 0);
  return run;
}

int exitCode(const ChildRun& run) { return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1; }

// A small machine: a target process with an object, a device, and a capture that a
// scheduled SIGTERM ends after a while of virtual time.
class AudioHostProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    world.install();
    world.addProcess(300, 1);
    world.addProcess(kTarget, 300);
    world.addProcessObject(kTarget, false);
    world.addApplication(kTarget, {0, "Player", "com.example.player"});
    world.addDevice(SimDevice{"spk", "Speakers", 1.0f, 1.0f, false, false});
    world.addDevice(SimDevice{"mic", "Muted Mic", 0.5f, 1.0f, true, false});
    world.failProperty(platform::sim::Access::write, platform::selector::mute, platform::scope::input, -3);
  }
  void TearDown() override { world.uninstall(); }
  void stopWithSignalAfter(double seconds) {
    world.at(world.now() + seconds, [] { raise(SIGTERM); });
  }

  SimWorld world;
};

struct LineCase {
  const char* name;
  std::vector<std::string> arguments;
  int exit;
  std::string out;  // "*": any PCM
  std::string err;
};

class AudioHostCommandLine : public AudioHostProcess, public ::testing::WithParamInterface<LineCase> {};

TEST_P(AudioHostCommandLine, StreamsAndExitCode) {
  stopWithSignalAfter(0.5);
  const auto run = runChild(GetParam().arguments);
  EXPECT_EQ(exitCode(run), GetParam().exit);
  if (GetParam().out == "*") {
    EXPECT_EQ(run.out.size() % 2, 0u);
    EXPECT_GT(run.out.size(), 0u);
  } else {
    EXPECT_EQ(run.out, GetParam().out);
  }
  EXPECT_EQ(run.err, GetParam().err);
}

const std::string kPlayer = "[{\"active\":false,\"exe\":\"com.example.player\",\"id\":\"pid:500\",\"label\":\"Player\"}]";
const std::string kSpeakersReport =
    "{\"found\":true,\"name\":\"Speakers\",\"changed\":false,\"before\":1.0000,\"after\":1.0000,\"unmuted\":false}\n";
const std::string kStandinHalf =
    "{\"found\":true,\"name\":\"Speakers\",\"changed\":true,\"before\":0.5000,\"after\":1.0000,\"unmuted\":false}\n";

INSTANTIATE_TEST_SUITE_P(
    Arguments, AudioHostCommandLine,
    ::testing::Values(
        LineCase{"NoArguments", {}, 2, "", kUsageText},
        LineCase{"UpperCaseList", {"--LIST"}, 2, "", kUsageText},
        LineCase{"ShortForm", {"-l"}, 2, "", kUsageText},
        LineCase{"EqualsForm", {"--target=system"}, 2, "", kUsageText},
        LineCase{"UnknownFirst", {"capture", "--list"}, 2, "", kUsageText},
        LineCase{"List", {"--list"}, 0, kPlayer, ""},
        LineCase{"ListIgnoresTheRest", {"--list", "--target", "pid:1"}, 0, kPlayer, ""},
        LineCase{"TargetAloneIsSystem", {"--target"}, 0, "*", kFormat48k},
        LineCase{"System", {"--target", "system", "--exclude-pids", "1,x"}, 0, "*", kFormat48k},
        LineCase{"Pid", {"--target", "pid:500"}, 0, "*", kFormat48k},
        LineCase{"PidWithPlus", {"--target", "pid:+500"}, 0, "*", kFormat48k},
        LineCase{"PidAbsent", {"--target", "pid:501"}, 1, "", kGone},
        LineCase{"PidEmpty", {"--target", "pid:"}, 2, "", kGone},
        LineCase{"PidSpace", {"--target", "pid: 500"}, 2, "", kGone},
        LineCase{"PidLetters", {"--target", "pid:abc"}, 2, "", kGone},
        LineCase{"PidDigitsThenLetters", {"--target", "pid:500x"}, 2, "", kGone},
        LineCase{"PidOutOfRange", {"--target", "pid:2147483648"}, 2, "", kGone},
        LineCase{"BareNumber", {"--target", "500"}, 2, "", kGone},
        LineCase{"SystemUpperCase", {"--target", "SYSTEM"}, 2, "", kGone},
        LineCase{"ExcludeAsTarget", {"--target", "--exclude-pids", "1"}, 2, "", kGone},
        LineCase{"UnityAlone", {"--ensure-unity-gain"}, 0, "{\"found\":false}\n", ""},
        LineCase{"Unity", {"--ensure-unity-gain", "Speakers"}, 0, kSpeakersReport, ""},
        LineCase{"UnityWriteFails", {"--ensure-unity-gain", "Muted"}, 1,
                 "{\"found\":true,\"name\":\"Muted Mic\",\"changed\":true,\"before\":0.5000,\"after\":1.0000,"
                 "\"unmuted\":false}\n",
                 "{\"event\":\"error\",\"code\":\"volume_write_failed\"}\n"},
        LineCase{"StandinWithoutValue", {"--ensure-unity-gain", "Speakers", "--standin-scalar"}, 0, kSpeakersReport,
                 ""},
        LineCase{"StandinNotANumber", {"--ensure-unity-gain", "Speakers", "--standin-scalar", "half"}, 0,
                 kSpeakersReport, ""},
        LineCase{"StandinLeadingSpace", {"--ensure-unity-gain", "Speakers", "--standin-scalar", " 0.5"}, 0,
                 kSpeakersReport, ""},
        LineCase{"Standin", {"--ensure-unity-gain", "Speakers", "--standin-scalar", "0.5"}, 0, kStandinHalf, ""},
        // The real procedure would write to the muted device and fail.
        LineCase{"StandinBeyondFloatRange", {"--ensure-unity-gain", "Muted", "--standin-scalar", "1e39"}, 0,
                 "{\"found\":true,\"name\":\"Muted\",\"changed\":false,"
                 "\"before\":340282346638528859811704183484516925440.0000,"
                 "\"after\":340282346638528859811704183484516925440.0000,\"unmuted\":false}\n",
                 ""},
        LineCase{"StandinAsDeviceName", {"--ensure-unity-gain", "--standin-scalar", "0.5"}, 0,
                 "{\"found\":true,\"name\":\"--standin-scalar\",\"changed\":true,\"before\":0.5000,\"after\":1.0000,"
                 "\"unmuted\":false}\n",
                 ""}),
    [](const auto& test) { return std::string(test.param.name); });

class AudioHostStopSignal : public AudioHostProcess, public ::testing::WithParamInterface<int> {};

TEST_P(AudioHostStopSignal, EndsCaptureWithSuccessAndNoFurtherLine) {
  world.setRealSleep(std::chrono::milliseconds(1));
  const auto run = runChild({"--target", "pid:500"}, {GetParam(), false});
  ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(run.err, kFormat48k);
}

INSTANTIATE_TEST_SUITE_P(Signals, AudioHostStopSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& test) { return test.param == SIGINT ? "Interrupt" : "Terminate"; });

// The application signals, then stops reading: the capture blocked on a full pipe must
// still end, within about one writer pass, dropping what it could not write.
TEST_P(AudioHostStopSignal, EndsEvenWhenNobodyReadsTheOutput) {
  world.setRealSleep(std::chrono::milliseconds(1));
  const auto run = runChild({"--target", "pid:500"}, {.signalOnceOutputFull = GetParam(), .deadlineSeconds = 10});
  ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(run.err, kFormat48k);
}

TEST_F(AudioHostProcess, ClosedOutputEndsCaptureInsteadOfKilling) {
  world.setRealSleep(std::chrono::milliseconds(1));
  const auto run = runChild({"--target", "system"}, {0, true});
  ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
  EXPECT_EQ(run.err, kFormat48k);
}

// Only capture listens to the stop flag; the other modes run to completion.
struct CompletionCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* interruptedAt;
  std::string out;
};

class AudioHostInterruptedMode : public AudioHostProcess, public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(AudioHostInterruptedMode, CompletesNormally) {
  world.setHook([at = std::string(GetParam().interruptedAt)](std::string_view operation) {
    if (operation == at) raise(SIGINT);
  });
  const auto run = runChild(GetParam().arguments);
  EXPECT_EQ(exitCode(run), 0);
  EXPECT_EQ(run.out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Modes, AudioHostInterruptedMode,
                         ::testing::Values(CompletionCase{"List", {"--list"}, "runningApplication", kPlayer},
                                           CompletionCase{"UnityGain", {"--ensure-unity-gain", "Speakers"},
                                                          "getPropertyDataSize", kSpeakersReport}),
                         [](const auto& test) { return std::string(test.param.name); });

// Without any installed machine the program runs over this computer: no audio system, but
// its real processes.
struct BareCase {
  const char* name;
  std::vector<std::string> arguments;
  int exit;
  std::string out;
  std::string err;
};

class AudioHostNoAudioSystem : public ::testing::TestWithParam<BareCase> {};

TEST_P(AudioHostNoAudioSystem, FindsNothingAndFailsToActivate) {
  auto arguments = GetParam().arguments;
  for (auto& argument : arguments)
    if (argument == "pid:self") argument = "pid:" + std::to_string(getpid());
  const auto run = runChild(arguments);
  EXPECT_EQ(exitCode(run), GetParam().exit);
  EXPECT_EQ(run.out, GetParam().out);
  EXPECT_EQ(run.err, GetParam().err);
}

const std::string kNoActivation = "{\"event\":\"error\",\"code\":\"activation_failed\",\"osstatus\":-50005}\n";

INSTANTIATE_TEST_SUITE_P(
    Modes, AudioHostNoAudioSystem,
    ::testing::Values(BareCase{"List", {"--list"}, 0, "[]", ""},
                      BareCase{"System", {"--target", "system"}, 1, "", kNoActivation},
                      BareCase{"LivePid", {"--target", "pid:self"}, 1, "", kNoActivation},
                      BareCase{"NoSuchPid", {"--target", "pid:2147483647"}, 1, "", kGone},
                      BareCase{"Unity", {"--ensure-unity-gain", "Speakers"}, 0, "{\"found\":false}\n", ""}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace dovrin::audio_host
