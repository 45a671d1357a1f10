// A private, headless PipeWire graph for tests and demos: its own session bus, pipewire,
// wireplumber and optionally pipewire-pulse, under a folder of its own, with a null sink
// "ci_sink" (the default) and a virtual source "ci_source". No systemd, display, sound card
// or user session is needed, and several graphs can run side by side.
//
//   dovrin_private_graph DIR [--pulse] [--watch-stdin]
//
// Writes DIR/env (shell "export" lines that point clients at the graph) and prints "ready"
// on standard output once every daemon answers. It then waits for SIGTERM or SIGINT (or,
// with --watch-stdin, for its standard input to close) and stops exactly the processes it
// started, newest first: SIGTERM, then SIGKILL after a grace period. Every daemon also
// gets SIGKILL from the kernel should this process die first, and this process ends when
// its own parent does, so nothing of a graph outlives the test or script that wanted it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kPipeWireFragment = R"(# Written by dovrin_private_graph.
context.properties = {
  default.clock.rate = 48000
  default.clock.allowed-rates = [ 48000 ]
  default.clock.quantum = 1024
  default.clock.min-quantum = 1024
}
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "ci_sink"
      node.description = "CI null sink"
      media.class = "Audio/Sink"
      audio.position = [ FL FR ]
      audio.rate = 48000
      priority.session = 2000
      priority.driver = 2000
      monitor.channel-volumes = true
      object.linger = true
    }
  }
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "ci_source"
      node.description = "CI virtual source"
      media.class = "Audio/Source/Virtual"
      audio.position = [ FL FR ]
      audio.rate = 48000
      object.linger = true
    }
  }
]
)";

// Replaces the packaged file of the same name: everything a desktop session has except the
// hardware monitors (ALSA, V4L2, libcamera).
const char* const kWirePlumberMain = R"(-- Written by dovrin_private_graph.
load_module("metadata")
default_access.enable()
device_defaults.enable()
stream_defaults.enable()
load_script("intended-roles.lua")
load_script("suspend-node.lua")
)";

const char* const kWirePlumberBluetooth = "-- Written by dovrin_private_graph: no Bluetooth.\n";

struct Started {
  std::string name;
  pid_t pid;
  bool reaped = false;  // its pid may already name another process: never signal it again
};

std::vector<Started> gStarted;
std::vector<std::string> gEnvironment;  // NAME=value, the graph's client environment

void fail(const std::string& what) {
  std::fprintf(stderr, "dovrin_private_graph: %s\n", what.c_str());
}

bool write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream file(path);
  file << text;
  return static_cast<bool>(file);
}

std::vector<char*> environmentBlock() {
  static std::vector<std::string> storage;
  storage.clear();
  const std::vector<std::string> removed = {"PIPEWIRE_REMOTE", "PULSE_SERVER", "DISPLAY", "WAYLAND_DISPLAY",
                                            "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR",
                                            "XDG_CONFIG_HOME", "XDG_STATE_HOME", "PULSE_RUNTIME_PATH"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    bool skip = false;
    for (const auto& other : removed) skip = skip || name == other;
    for (const auto& ours : gEnvironment) skip = skip || ours.substr(0, ours.find('=')) == name;
    if (!skip) storage.push_back(text);
  }
  for (const auto& ours : gEnvironment) storage.push_back(ours);
  std::vector<char*> block;
  for (auto& text : storage) block.push_back(text.data());
  block.push_back(nullptr);
  return block;
}

// Starts a daemon in a session of its own (so that a terminal's or a test runner's signals
// do not reach it), killed by the kernel should this process end first.
pid_t start(const std::vector<std::string>& argv, const std::string& log) {
  auto env = environmentBlock();
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, STDIN_FILENO);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    execvpe(argp[0], argp.data(), env.data());
    _exit(127);
  }
  if (child > 0) gStarted.push_back({argv[0], child});
  return child;
}

// Runs a short command to its end; true when it exited 0 (and, if wanted, printed text
// containing `expect`).
bool probe(const std::vector<std::string>& argv, const std::string& expect = "") {
  int out[2];
  if (pipe(out) != 0) return false;
  auto env = environmentBlock();
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    alarm(5);
    execvpe(argp[0], argp.data(), env.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && text.find(expect) != std::string::npos;
}

bool alive(pid_t pid) {
  for (auto& started : gStarted) {
    if (started.pid != pid) continue;
    if (started.reaped) return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) return true;
    started.reaped = true;
    return false;
  }
  return false;
}

template <class Ready>
bool waitFor(const std::string& what, pid_t pid, Ready ready, double seconds = 15.0) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (ready()) return true;
    if (!alive(pid)) {
      fail(what + " exited during start");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fail(what + " not ready in time");
  return false;
}

// Newest first, each given a grace period after SIGTERM.
void stopAll() {
  for (auto it = gStarted.rbegin(); it != gStarted.rend(); ++it) {
    if (it->reaped) continue;
    kill(it->pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(it->pid, &status, WNOHANG) == 0 && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(it->pid, &status, WNOHANG) == 0) {
      kill(it->pid, SIGKILL);
      waitpid(it->pid, &status, 0);
    }
  }
  gStarted.clear();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [--pulse] [--watch-stdin]\n", argv[0]);
    return 2;
  }
  bool pulse = false;
  bool watchStdin = false;
  for (int i = 2; i < argc; ++i) {
    pulse = pulse || std::strcmp(argv[i], "--pulse") == 0;
    watchStdin = watchStdin || std::strcmp(argv[i], "--watch-stdin") == 0;
  }
  // Ends with the test or script that started it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGHUP);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  const int signals = signalfd(-1, &stops, SFD_CLOEXEC);
  signal(SIGPIPE, SIG_IGN);

  const fs::path base = fs::absolute(argv[1]);
  const fs::path runtime = base / "runtime";
  const fs::path config = base / "config";
  const fs::path state = base / "state";
  std::error_code ignored;
  fs::create_directories(runtime, ignored);
  fs::create_directories(config, ignored);
  fs::create_directories(state, ignored);
  chmod(runtime.c_str(), 0700);
  if (!write(config / "pipewire" / "pipewire.conf.d" / "dovrin-ci.conf", kPipeWireFragment) ||
      !write(config / "wireplumber" / "main.lua.d" / "90-enable-all.lua", kWirePlumberMain) ||
      !write(config / "wireplumber" / "bluetooth.lua.d" / "90-enable-all.lua", kWirePlumberBluetooth)) {
    fail("cannot write the configuration under " + base.string());
    return 1;
  }
  const std::string bus = "unix:path=" + (runtime / "bus").string();
  gEnvironment = {"XDG_RUNTIME_DIR=" + runtime.string(), "PIPEWIRE_RUNTIME_DIR=" + runtime.string(),
                  "XDG_CONFIG_HOME=" + config.string(), "XDG_STATE_HOME=" + state.string(),
                  "DBUS_SESSION_BUS_ADDRESS=" + bus};
  if (pulse) {
    gEnvironment.push_back("PULSE_SERVER=unix:" + (runtime / "pulse" / "native").string());
    gEnvironment.push_back("PULSE_RUNTIME_PATH=" + (runtime / "pulse").string());
  }
  const std::string log = (base / "graph.log").string();

  bool ok = true;
  const pid_t dbus = start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + bus}, log);
  ok = dbus > 0 && waitFor("dbus-daemon", dbus, [&] { return fs::exists(runtime / "bus"); });
  if (ok) {
    const pid_t pipewire = start({"pipewire"}, log);
    ok = pipewire > 0 && waitFor("pipewire", pipewire, [&] {
      return fs::exists(runtime / "pipewire-0") && probe({"pw-cli", "info", "0"}, "id: 0");
    });
  }
  if (ok) {
    const pid_t wireplumber = start({"wireplumber"}, log);
    ok = wireplumber > 0 && waitFor("wireplumber", wireplumber, [&] {
      return probe({"pw-metadata", "-n", "default", "0", "default.audio.sink"}, "ci_sink");
    });
  }
  if (ok && pulse) {
    const pid_t server = start({"pipewire-pulse"}, log);
    ok = server > 0 && waitFor("pipewire-pulse", server, [&] { return probe({"pactl", "info"}, "Server Name"); });
  }
  if (ok) {
    std::string exports;
    for (const auto& entry : gEnvironment) {
      const auto equals = entry.find('=');
      exports += "export " + entry.substr(0, equals) + "='" + entry.substr(equals + 1) + "'\n";
    }
    exports += "unset PIPEWIRE_REMOTE DISPLAY WAYLAND_DISPLAY\n";
    std::string pids;
    for (const auto& started : gStarted) pids += started.name + " " + std::to_string(started.pid) + "\n";
    ok = write(base / "env", exports) && write(base / "pids", pids);
  }
  if (!ok) {
    stopAll();
    std::fprintf(stderr, "dovrin_private_graph: see %s\n", log.c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  // Until told to stop, or until a daemon dies on its own (then there is no graph to keep).
  for (;;) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {watchStdin ? STDIN_FILENO : -1, POLLIN, 0}};
    const int n = poll(fds, 2, 200);
    if (n > 0 && (fds[0].revents != 0 || fds[1].revents != 0)) {
      if (fds[1].revents != 0) {
        char buffer[256];
        if (read(STDIN_FILENO, buffer, sizeof buffer) > 0) continue;
      }
      break;
    }
    bool allAlive = true;
    for (const auto& started : gStarted) allAlive = allAlive && alive(started.pid);
    if (!allAlive) {
      fail("a daemon of the graph exited; stopping the rest");
      stopAll();
      return 1;
    }
  }
  stopAll();
  return 0;
}
