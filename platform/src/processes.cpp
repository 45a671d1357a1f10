#include "dovrin/platform/processes.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/types.h>
#include <unistd.h>

#include "installed.h"

namespace dovrin::platform {
namespace {

class SystemProcesses final : public ProcessTable {
 public:
  int signalZero(std::int32_t pid) override { return ::kill(pid, 0) == 0 ? 0 : errno; }

  // /proc/<pid>/stat: "pid (comm) state ppid ...". The command name may itself hold
  // spaces and parentheses, so the fields are counted from the last ')'.
  std::optional<std::int32_t> parentPid(std::int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    if (!file) return std::nullopt;
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    char state = 0;
    int parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2) return std::nullopt;
    return parent;
  }

  std::int32_t ownPid() override { return static_cast<std::int32_t>(::getpid()); }

  // Linux has no registry of user-facing applications this program could ask.
  std::optional<RunningApplication> runningApplication(std::int32_t) override { return std::nullopt; }
};

detail::Installed<ProcessTable>& slot() {
  static SystemProcesses system;
  static detail::Installed<ProcessTable> installed(system);
  return installed;
}

}  // namespace

void installProcessTable(ProcessTable* table) { slot().install(table); }
ProcessTable& processTable() { return slot().get(); }

int signalZero(std::int32_t pid) { return processTable().signalZero(pid); }
std::optional<std::int32_t> parentPid(std::int32_t pid) { return processTable().parentPid(pid); }
std::int32_t ownPid() { return processTable().ownPid(); }
std::optional<RunningApplication> runningApplication(std::int32_t pid) {
  return processTable().runningApplication(pid);
}

}  // namespace dovrin::platform
