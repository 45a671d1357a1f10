#pragma once
// Unix processes and the applications behind them.

#include <cstdint>
#include <optional>
#include <string>

namespace dovrin::platform {

struct RunningApplication {
  std::int64_t activationPolicy = 0;  // 0: an ordinary application with a user interface
  std::optional<std::string> localizedName;
  std::optional<std::string> bundleIdentifier;
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // The result of a liveness probe with signal 0: 0, or the errno it failed with.
  virtual int signalZero(std::int32_t pid) = 0;
  virtual std::optional<std::int32_t> parentPid(std::int32_t pid) = 0;
  virtual std::int32_t ownPid() = 0;
  virtual std::optional<RunningApplication> runningApplication(std::int32_t pid) = 0;
};

// nullptr restores the default: this machine's real processes, and no application registry.
void installProcessTable(ProcessTable* table);
ProcessTable& processTable();

int signalZero(std::int32_t pid);
std::optional<std::int32_t> parentPid(std::int32_t pid);
std::int32_t ownPid();
std::optional<RunningApplication> runningApplication(std::int32_t pid);

}  // namespace dovrin::platform
