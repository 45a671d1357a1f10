#pragma once
// Process entry of dovrin-audio-host: signals, the command line, the event lines.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace dovrin::audio_host {

// Set by SIGINT and SIGTERM; the capture writer reads it before every pass. Never reset.
extern std::atomic<bool> gStop;
static_assert(std::atomic<bool>::is_always_lock_free, "gStop is written from a signal handler");

// The process arguments without the program name, set once before dispatch.
extern std::vector<std::string> args;

inline constexpr std::string_view kUsage =
    "usage: dovrin-audio-host --list | --target pid:N|system [--exclude-pids a,b] | --ensure-unity-gain <name> "
    "[--standin-scalar 0.5]\n";

// One event line on standard error, written and flushed whole.
void emit(std::string_view line);
void emitError(std::string_view code);

// An optional single sign, then ASCII digits only, within the signed 32-bit range.
std::optional<std::int32_t> parseInteger(std::string_view text);
// The whole text as a C-locale float; no leading white space; finite values only.
std::optional<float> parseScalar(const std::string& text);
// The pids listed after the first "--exclude-pids"; malformed and empty pieces are skipped.
std::unordered_set<std::int32_t> parseExclude(const std::vector<std::string>& arguments);

// The whole program: returns the status the process must exit with.
int hostMain(int argc, char** argv);

}  // namespace dovrin::audio_host
