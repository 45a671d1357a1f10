// The audio host's command line and its JSON writers.
//
// Each input describes a small simulated machine (devices, processes, applications with
// names made of arbitrary bytes, a capture format, injected platform failures) and either
// an argument vector run through the program's entry, or a direct call of one JSON writer.
// The simulated clock ends every capture: a scheduled action raises the stop flag shortly
// after start, and the world aborts a run that sleeps past its time limit.
//
// Checked: the exit status is one the program documents; every line on standard error is
// the usage text or a JSON object with an "event"; what list and unity-gain modes write on
// standard output parses as JSON; capture writes whole 16-bit samples; nothing is leaked
// (taps, aggregate devices, IO procs and platform strings all released).
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio_host/entry.h"
#include "audio_host/discovery.h"
#include "audio_host/unity_gain.h"
#include "dovrin/platform/sim/memory_streams.h"
#include "dovrin/platform/sim/sim_world.h"

namespace {

namespace host = dovrin::audio_host;
namespace platform = dovrin::platform;
namespace sim = dovrin::platform::sim;

[[noreturn]] void fault(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_audio_host: %s\n", what);
  std::fprintf(stderr, "  detail: %.*s\n", static_cast<int>(std::min<size_t>(detail.size(), 2000)), detail.data());
  std::abort();
}

void expect(bool condition, const char* what, std::string_view detail = {}) {
  if (!condition) fault(what, detail);
}

constexpr std::int32_t kLauncher = 300;

// A float that devices may report: ordinary volumes, edges, and values no device should.
float consumeVolume(FuzzedDataProvider& input) {
  static constexpr float kChoices[] = {0.0f, 0.25f, 0.5f, 0.998f, 0.999f, 1.0f, 1.5f, -1.0f,
                                       std::numeric_limits<float>::quiet_NaN(),
                                       std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::max(),
                                       std::numeric_limits<float>::denorm_min()};
  if (input.ConsumeBool()) return input.PickValueInArray(kChoices);
  const auto bits = input.ConsumeIntegral<std::uint32_t>();
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string consumeName(FuzzedDataProvider& input, size_t limit = 300) {
  return input.ConsumeRandomLengthString(limit);
}

// Devices, processes and applications from the input. Pids run from 301 upwards below the
// launcher, so that pid targets and exclusions made of small numbers find them.
struct Machine {
  std::vector<std::int32_t> pids;
};

Machine populate(sim::SimWorld& world, FuzzedDataProvider& input) {
  Machine machine;
  world.setJournal(false);
  world.addProcess(kLauncher, 1);
  const int devices = input.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < devices; ++i) {
    sim::SimDevice device;
    switch (input.ConsumeIntegralInRange(0, 3)) {
      case 0: device.uid = "DovrinVirtualMic2ch_UID"; device.name = "DovrinVirtualMic"; break;
      case 1: device.uid = "DovrinMeetingBus2ch_UID"; device.name = consumeName(input, 64); break;
      case 2: device.uid = std::nullopt; device.name = std::nullopt; break;
      default: device.uid = consumeName(input, 64); device.name = consumeName(input); break;
    }
    if (input.ConsumeBool()) device.inputVolume = consumeVolume(input);
    if (input.ConsumeBool()) device.outputVolume = consumeVolume(input);
    if (input.ConsumeBool()) device.inputMute = input.ConsumeBool();
    if (input.ConsumeBool()) device.outputMute = input.ConsumeBool();
    world.addDevice(device);
  }
  const int processes = input.ConsumeIntegralInRange(0, 5);
  for (int i = 0; i < processes; ++i) {
    const std::int32_t pid = 301 + i;
    const std::int32_t parent = i == 0 || input.ConsumeBool() ? kLauncher : 301 + input.ConsumeIntegralInRange(0, i - 1);
    world.addProcess(pid, parent);
    machine.pids.push_back(pid);
    const int objects = input.ConsumeIntegralInRange(0, 2);
    for (int o = 0; o < objects; ++o) world.addProcessObject(pid, input.ConsumeBool());
    if (input.ConsumeBool()) {
      platform::RunningApplication application;
      application.activationPolicy = input.ConsumeIntegralInRange(0, 2) == 0 ? 0 : 1;
      if (input.ConsumeIntegralInRange(0, 5) != 0) application.localizedName = consumeName(input);
      if (input.ConsumeBool()) application.bundleIdentifier = consumeName(input);
      world.addApplication(pid, application);
    }
  }
  if (!machine.pids.empty() && input.ConsumeIntegralInRange(0, 7) == 0) world.setOwnPid(machine.pids.front());
  return machine;
}

// Platform failures, capture format, feeds and scheduled changes.
void configure(sim::SimWorld& world, const Machine& machine, FuzzedDataProvider& input, double t0) {
  static constexpr const char* kCalls[] = {"createProcessTap", "createAggregateDevice", "createIoProc",
                                           "startDevice"};
  static constexpr std::uint32_t kSelectors[] = {
      platform::selector::processObjectList, platform::selector::devices,       platform::selector::processPid,
      platform::selector::isRunningOutput,   platform::selector::tapDescription, platform::selector::streams,
      platform::selector::virtualFormat,     platform::selector::deviceUid,      platform::selector::name,
      platform::selector::volumeScalar,      platform::selector::mute};
  static constexpr std::uint32_t kScopes[] = {platform::scope::global, platform::scope::input,
                                              platform::scope::output};
  const int faults = input.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < faults; ++i) {
    const auto status = input.ConsumeBool() ? platform::Status{-50001 - input.ConsumeIntegralInRange(0, 4)}
                                            : input.ConsumeIntegral<platform::Status>();
    if (input.ConsumeBool()) {
      world.failCall(input.PickValueInArray(kCalls), status, input.ConsumeIntegralInRange(-1, 2));
    } else {
      const auto access = static_cast<sim::Access>(input.ConsumeIntegralInRange(0, 2));
      world.failProperty(access, input.PickValueInArray(kSelectors), input.PickValueInArray(kScopes),
                         input.ConsumeBool() ? platform::kOk : status, input.ConsumeIntegralInRange(-1, 3));
    }
  }
  if (input.ConsumeIntegralInRange(0, 7) == 0) world.giveNullIoProcId(true);

  static constexpr double kRates[] = {48000.0, 44100.0, 16000.0, 96000.0, 8000.0, 192000.0, 0.0, -48000.0,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(), 47999.5, 0.5, 1.0};
  world.setCaptureFormat(input.PickValueInArray(kRates), input.ConsumeIntegralInRange<std::uint32_t>(0, 8));
  if (input.ConsumeIntegralInRange(0, 5) == 0) world.setStreamCount(input.ConsumeIntegralInRange<std::uint32_t>(0, 3));

  if (input.ConsumeBool()) {
    sim::Feed feed;
    feed.start = input.ConsumeIntegralInRange(0, 10) * 0.01;
    feed.period = 0.01 * input.ConsumeIntegralInRange(1, 5);
    feed.cycles = input.ConsumeIntegralInRange<std::int64_t>(0, 40);
    const auto frames = input.ConsumeIntegralInRange<std::uint32_t>(0, 1200);
    const auto channels = input.ConsumeIntegralInRange<std::uint32_t>(1, 4);
    const float value = consumeVolume(input);
    const bool nullData = input.ConsumeIntegralInRange(0, 7) == 0;
    const auto shortBy = input.ConsumeIntegralInRange<std::uint32_t>(0, 7);
    feed.fill = [=](std::int64_t index, sim::Cycle& cycle) {
      if (!cycle.empty()) return;
      sim::SimBuffer buffer = sim::SimBuffer::floats(std::vector<float>(frames * channels, value), channels);
      buffer.nullData = nullData;
      buffer.byteSize = buffer.byteSize > shortBy ? buffer.byteSize - shortBy : 0;
      (void)index;
      cycle.push_back(std::move(buffer));
    };
    world.addFeed(std::move(feed));
  }

  // Scheduled changes while a capture runs: a target ending, outputs starting and stopping.
  const int actions = input.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < actions; ++i) {
    const double at = t0 + 0.05 * input.ConsumeIntegralInRange(1, 8);
    if (!machine.pids.empty() && input.ConsumeBool()) {
      const std::int32_t pid = machine.pids[input.ConsumeIntegralInRange<size_t>(0, machine.pids.size() - 1)];
      world.at(at, [&world, pid] { world.endProcess(pid); });
    } else {
      const bool running = input.ConsumeBool();
      const std::int32_t pid = machine.pids.empty() ? 999 : machine.pids.back();
      world.at(at, [&world, pid, running] { world.addProcessObject(pid, running); });
    }
  }
  // Every capture stops within a second of virtual time; a run that sleeps much longer is
  // one that never ends.
  const double stop = t0 + 0.05 * input.ConsumeIntegralInRange(1, 20);
  world.at(stop, [] { host::gStop.store(true, std::memory_order_relaxed); });
  world.setTimeLimit(t0 + 120.0);
}

std::vector<std::string> consumeArguments(FuzzedDataProvider& input, const Machine& machine) {
  static constexpr const char* kWords[] = {"--list", "--target", "--exclude-pids", "--ensure-unity-gain",
                                           "--standin-scalar", "system", "pid:301", "pid:302", "pid:300",
                                           "301,302", "0.5", "DovrinVirtualMic", "DovrinMeetingBus", "pid:",
                                           "pid:-1", "pid:99999"};
  std::vector<std::string> arguments;
  const int count = input.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < count; ++i) {
    std::string argument;
    switch (input.ConsumeIntegralInRange(0, 3)) {
      case 0:
      case 1: argument = input.PickValueInArray(kWords); break;
      case 2:
        argument = machine.pids.empty() ? "pid:1"
                                        : "pid:" + std::to_string(machine.pids[input.ConsumeIntegralInRange<size_t>(
                                                       0, machine.pids.size() - 1)]);
        break;
      default: argument = consumeName(input); break;
    }
    // A process argument is a C string.
    arguments.push_back(argument.substr(0, argument.find('\0')));
  }
  return arguments;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    expect(end != std::string::npos, "output does not end with a newline", text);
    result.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

void checkEventLines(const std::string& err) {
  for (const std::string& line : lines(err)) {
    if (line + "\n" == host::kUsage) continue;
    expect(nlohmann::json::accept(line), "a standard error line is not JSON", line);
    const auto event = nlohmann::json::parse(line);
    expect(event.is_object() && event.contains("event") && event["event"].is_string(),
           "a standard error line is no event", line);
  }
}

void checkReleased(sim::SimWorld& world) {
  const auto live = world.live();
  expect(live.taps == 0 && live.aggregateDevices == 0 && live.ioProcs == 0 && live.runningDevices == 0,
         "capture left platform objects behind");
  expect(live.strings == 0, "a platform string was not released");
}

void runCommandLine(FuzzedDataProvider& input) {
  sim::SimWorld world;
  world.install();
  sim::MemoryStreams streams;
  streams.install();
  const double t0 = world.now();
  const Machine machine = populate(world, input);
  configure(world, machine, input, t0);
  if (input.ConsumeIntegralInRange(0, 7) == 0) streams.failOutputAfter(input.ConsumeIntegralInRange<size_t>(0, 4096), 32);

  std::vector<std::string> arguments = consumeArguments(input, machine);
  std::vector<char*> argv;
  std::string program = "dovrin-audio-host";
  argv.push_back(program.data());
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const int status = host::hostMain(static_cast<int>(argv.size() - 1), argv.data());
  streams.uninstall();
  world.uninstall();

  std::string joined;
  for (const auto& argument : arguments) joined.append(argument).append(" | ");
  expect(status == 0 || status == 1 || status == 2, "exit status outside 0, 1 and 2", joined);
  checkEventLines(streams.err());
  checkReleased(world);

  const std::string out = streams.out();
  const std::string mode = arguments.empty() ? "" : arguments.front();
  if (mode == "--list") {
    if (!out.empty() || streams.failedWrites() == 0) {
      expect(nlohmann::json::accept(out), "the list is not JSON", out);
      expect(nlohmann::json::parse(out).is_array(), "the list is not an array", out);
    }
  } else if (mode == "--ensure-unity-gain") {
    for (const std::string& line : lines(out)) expect(nlohmann::json::accept(line), "a gain report is not JSON", line);
    if (streams.failedWrites() == 0) expect(!out.empty() || status != 0, "unity gain reported nothing", joined);
  } else if (mode == "--target") {
    expect(out.size() % 2 == 0, "capture wrote half a sample", joined);
  } else {
    expect(out.empty() && status == 2, "usage answered with output or another status", joined);
  }
}

// The JSON writers on their own, with names of arbitrary bytes.
void runWriters(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) {
    const std::string name = consumeName(input, 400);
    const float before = consumeVolume(input);
    const float after = consumeVolume(input);
    const bool changed = input.ConsumeBool();
    const bool unmuted = input.ConsumeBool();
    const bool failed = input.ConsumeBool();
    sim::MemoryStreams streams;
    streams.install();
    const int status = host::reportGain(name, before, after, changed, unmuted, failed);
    streams.uninstall();
    expect(status == (failed ? 1 : 0), "reportGain answered another status");
    const auto report = lines(streams.out());
    expect(report.size() == 1, "reportGain wrote other than one line", streams.out());
    expect(nlohmann::json::accept(report[0]), "the gain report is not JSON", report[0]);
    const auto parsed = nlohmann::json::parse(report[0]);
    expect(parsed["found"] == true && parsed["changed"] == changed && parsed["unmuted"] == unmuted &&
               parsed["name"].is_string(),
           "the gain report lacks a field", report[0]);
    // A volume is a number with four decimals; one that is no number (NaN, infinite) is 0.
    expect(parsed["before"].is_number() && parsed["after"].is_number(), "a volume is not a number", report[0]);
    expect(std::isfinite(before) || parsed["before"] == 0.0, "before", report[0]);
    expect(std::isfinite(after) || parsed["after"] == 0.0, "after", report[0]);
    checkEventLines(streams.err());
    return;
  }
  sim::SimWorld world;
  world.install();
  const Machine machine = populate(world, input);
  const std::string list = host::listJson();
  world.uninstall();
  expect(nlohmann::json::accept(list), "the list is not JSON", list);
  const auto parsed = nlohmann::json::parse(list);
  expect(parsed.is_array() && parsed.size() <= machine.pids.size(), "the list has other entries", list);
  for (const auto& entry : parsed) {
    expect(entry.is_object() && entry["id"].is_string() && entry["label"].is_string() && entry["exe"].is_string() &&
               entry["active"].is_boolean(),
           "a list entry lacks a field", list);
    expect(!entry["label"].get<std::string>().empty(), "a list entry has an empty label", list);
  }
  checkReleased(world);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeIntegralInRange(0, 3) == 0) {
    runWriters(input);
  } else {
    runCommandLine(input);
  }
  return 0;
}
