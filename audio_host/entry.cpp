#include "audio_host/entry.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <limits>
#include <locale.h>

#include "audio_host/capture.h"
#include "audio_host/discovery.h"
#include "audio_host/unity_gain.h"
#include "dovrin/platform/streams.h"

namespace dovrin::audio_host {

std::atomic<bool> gStop{false};
std::vector<std::string> args;

namespace {

extern "C" void onStopSignal(int) { gStop.store(true, std::memory_order_relaxed); }

// SA_RESTART keeps a signal from failing a write to a slow reader; the writer notices the
// flag at the end of its pass, or within a write that the reader leaves no room for.
void installSignalHandlers() {
  struct sigaction stop {};
  stop.sa_handler = onStopSignal;
  sigemptyset(&stop.sa_mask);
  stop.sa_flags = SA_RESTART;
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

int usage() {
  platform::writeStandardError(kUsage);
  return 2;
}

int unityGainMode() {
  const std::string needle = args.size() > 1 ? args[1] : std::string();
  auto option = std::find(args.begin(), args.end(), "--standin-scalar");
  if (option != args.end() && option + 1 != args.end()) {
    if (auto scalar = parseScalar(*(option + 1))) return runStandin(needle, *scalar);
  }
  return runEnsureUnityGain(needle);
}

int captureMode() {
  const std::string target = args.size() > 1 ? args[1] : std::string("system");
  const auto excluding = parseExclude(args);
  if (target == "system") return runCapture(std::nullopt, excluding);
  constexpr std::string_view prefix = "pid:";
  if (target.starts_with(prefix)) {
    if (auto pid = parseInteger(std::string_view(target).substr(prefix.size()))) return runCapture(*pid, excluding);
  }
  emitError("no_such_audio_process");
  return 2;
}

}  // namespace

void emit(std::string_view line) {
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line).push_back('\n');
  platform::writeStandardError(text);
}

void emitError(std::string_view code) {
  emit(std::string("{\"event\":\"error\",\"code\":\"").append(code).append("\"}"));
}

std::optional<std::int32_t> parseInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  const std::uint64_t limit = negative ? 2147483648ULL : 2147483647ULL;
  if (magnitude > limit) return std::nullopt;
  auto value = static_cast<std::int64_t>(magnitude);
  return static_cast<std::int32_t>(negative ? -value : value);
}

std::optional<float> parseScalar(const std::string& text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case '\0': case '\t': case '\n': case '\v': case '\f': case '\r': case ' ':
      return std::nullopt;
    default:
      break;
  }
  // The C locale regardless of what the process set: "0.5" must never read as 0.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  char* end = nullptr;
  float value = strtof_l(text.c_str(), &end, cLocale);
  if (end != text.c_str() + text.size()) return std::nullopt;
  // A number beyond the float range is still a request for a stand-in report, which must
  // never fall back to touching a real device: it is clamped to the range. NaN is passed
  // on; the report treats it like a device answering no usable volume.
  if (std::isinf(value)) return std::copysign(std::numeric_limits<float>::max(), value);
  return value;
}

std::unordered_set<std::int32_t> parseExclude(const std::vector<std::string>& arguments) {
  std::unordered_set<std::int32_t> pids;
  auto option = std::find(arguments.begin(), arguments.end(), "--exclude-pids");
  if (option == arguments.end() || option + 1 == arguments.end()) return pids;
  std::string_view list = *(option + 1);
  while (!list.empty()) {
    auto comma = list.find(',');
    std::string_view piece = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (piece.empty()) continue;
    if (auto pid = parseInteger(piece)) pids.insert(*pid);
  }
  return pids;
}

int hostMain(int argc, char** argv) {
  gStop.store(false, std::memory_order_relaxed);
  installSignalHandlers();
  // Once told to stop, a write that the reader leaves no room for is dropped
  // rather than waited on.
  platform::abandonWritesOn(&gStop);
  args.clear();
  if (argc > 1) args.assign(argv + 1, argv + argc);
  if (args.empty()) return usage();
  const std::string& first = args.front();
  if (first == "--list") return runList();
  if (first == "--ensure-unity-gain") return unityGainMode();
  if (first == "--target") return captureMode();
  return usage();
}

}  // namespace dovrin::audio_host
