#include "graph_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace dovrin::pipewire_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (!folder.empty() && access((fs::path(folder) / program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// fork + exec with the kernel's promise to kill the child with its parent thread.
pid_t spawnProcess(const std::vector<std::string>& argv, int in, int out, int err) {
  std::vector<std::string> storage = argv;
  std::vector<char*> pointers;
  for (auto& text : storage) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (in >= 0) dup2(in, STDIN_FILENO);
    if (out >= 0) dup2(out, STDOUT_FILENO);
    if (err >= 0) dup2(err, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(pointers[0], pointers.data());
    _exit(127);
  }
  return child;
}

int openOutput(const std::string& path) {
  return open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

}  // namespace

std::optional<std::string> missingProgram(bool pulse) {
  std::vector<std::string> needed = {"pipewire", "wireplumber", "dbus-daemon", "pw-cli", "pw-metadata", "pw-link"};
  if (pulse) needed.insert(needed.end(), {"pipewire-pulse", "pactl", "paplay"});
  for (const auto& program : needed)
    if (!onPath(program)) return program;
  return std::nullopt;
}

bool PrivateGraph::start(bool pulse, std::string& why) {
  char folder[] = "/tmp/dovrin-graph-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    why = "mkdtemp failed";
    return false;
  }
  base_ = folder;
  int control[2];
  int ready[2];
  if (pipe2(control, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0) {
    why = "pipe failed";
    return false;
  }
  std::vector<std::string> argv = {DOVRIN_GRAPH_PATH, base_, "--watch-stdin"};
  if (pulse) argv.push_back("--pulse");
  runner_ = spawnProcess(argv, control[0], ready[1], -1);
  close(control[0]);
  close(ready[1]);
  control_ = control[1];
  std::string said;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (said.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd fd{ready[0], POLLIN, 0};
    if (poll(&fd, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(ready[0], buffer, sizeof buffer);
    if (n <= 0) break;
    said.append(buffer, static_cast<std::size_t>(n));
  }
  close(ready[0]);
  if (said.find("ready") == std::string::npos) {
    why = "the private graph did not start; its log: " + readFile(base_ + "/graph.log");
    stop();
    return false;
  }
  std::ifstream env(base_ + "/env");
  std::string line;
  while (std::getline(env, line)) {
    if (line.rfind("export ", 0) == 0) {
      const auto equals = line.find('=');
      std::string value = line.substr(equals + 1);
      if (value.size() >= 2 && value.front() == '\'') value = value.substr(1, value.size() - 2);
      setenv(line.substr(7, equals - 7).c_str(), value.c_str(), 1);
    } else if (line.rfind("unset ", 0) == 0) {
      std::stringstream names(line.substr(6));
      std::string name;
      while (names >> name) unsetenv(name.c_str());
    }
  }
  if (!pulse) unsetenv("PULSE_SERVER");
  return true;
}

void PrivateGraph::stop() {
  if (control_ >= 0) {
    close(control_);
    control_ = -1;
  }
  if (runner_ > 0) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (waitpid(runner_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(runner_, SIGKILL);
        waitpid(runner_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    runner_ = -1;
  }
  if (!base_.empty()) {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
    base_.clear();
  }
}

Child Child::spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
  const int outFd = openOutput(out);
  const int errFd = openOutput(err);
  const int inFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  Child child;
  child.pid_ = spawnProcess(argv, inFd, outFd, errFd);
  for (int fd : {outFd, errFd, inFd})
    if (fd >= 0) close(fd);
  return child;
}

Child::Child(Child&& other) noexcept : pid_(other.pid_), status_(other.status_) { other.pid_ = -1; }

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    this->~Child();
    pid_ = other.pid_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

void Child::signal(int number) const {
  if (pid_ > 0 && !status_) kill(pid_, number);
}

std::optional<int> Child::wait(std::chrono::milliseconds limit) {
  if (status_ || pid_ <= 0) return status_;
  waitUntil([&] { return !running(); }, limit);
  return status_;
}

bool Child::running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status;
    return false;
  }
  return true;
}

RunResult run(const std::vector<std::string>& argv) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  const int errFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t child = spawnProcess(argv, -1, out[1], errFd);
  close(out[1]);
  if (errFd >= 0) close(errFd);
  RunResult result;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::vector<std::int16_t> readPcm(const std::string& path) {
  const std::string bytes = readFile(path);
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

double toneLevel(const std::vector<std::int16_t>& pcm, std::size_t from, std::size_t to, double frequency) {
  to = std::min(to, pcm.size());
  if (from >= to) return -400.0;
  const std::size_t n = to - from;
  const double w = 2.0 * M_PI * frequency / 48000.0;
  const double coefficient = 2.0 * std::cos(w);
  double s1 = 0.0;
  double s2 = 0.0;
  double windowSum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double window = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(n));
    windowSum += window;
    const double x = window * pcm[from + i] / 32767.0;
    const double s0 = x + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  const double amplitude = 2.0 * std::sqrt(std::max(power, 0.0)) / windowSum;
  return amplitude > 1e-20 ? 20.0 * std::log10(amplitude) : -400.0;
}

void writeStereoSine(const std::string& path, double frequency, double seconds) {
  std::ofstream file(path, std::ios::binary);
  const auto frames = static_cast<std::size_t>(seconds * 48000.0);
  for (std::size_t i = 0; i < frames; ++i) {
    const auto value = static_cast<float>(0.5 * std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / 48000.0));
    file.write(reinterpret_cast<const char*>(&value), sizeof value);
    file.write(reinterpret_cast<const char*>(&value), sizeof value);
  }
}

}  // namespace dovrin::pipewire_test
