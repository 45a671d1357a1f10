#pragma once
// What the end-to-end tests need around a real PipeWire graph: the graph itself (a private
// one, started by dovrin_private_graph and stopped with the test, also when it fails),
// child processes that die with the test, short tool runs, and tone levels.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dovrin::pipewire_test {

// The first of the programs a graph (and, with pulse, its PulseAudio side) needs that is
// not on PATH; absent when all are there.
std::optional<std::string> missingProgram(bool pulse);

class PrivateGraph {
 public:
  PrivateGraph() = default;
  PrivateGraph(const PrivateGraph&) = delete;
  PrivateGraph& operator=(const PrivateGraph&) = delete;
  ~PrivateGraph() { stop(); }

  // Starts the graph and points this process's environment (and so every child started
  // afterwards) at it. False with the reason on failure.
  bool start(bool pulse, std::string& why);
  // Stops exactly the daemons it started and waits for them.
  void stop();
  const std::string& base() const { return base_; }

 private:
  pid_t runner_ = -1;
  int control_ = -1;  // the runner's standard input: closing it stops the graph
  std::string base_;
};

// A child process killed (SIGKILL) and reaped when the object goes, and by the kernel
// should the test process die first.
class Child {
 public:
  Child() = default;
  // Standard output and error go to the given files ("" for /dev/null).
  static Child spawn(const std::vector<std::string>& argv, const std::string& out = "", const std::string& err = "");
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  ~Child();

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // The exit status (as waitpid gives it) once the child ended within the limit.
  std::optional<int> wait(std::chrono::milliseconds limit);
  bool running();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct RunResult {
  int status = -1;  // exit code, or -1 when it did not exit normally
  std::string out;
};
RunResult run(const std::vector<std::string>& argv);

// Polls every 10 ms until the predicate holds or the limit has passed.
bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit);

std::string readFile(const std::string& path);
std::vector<std::int16_t> readPcm(const std::string& path);

// The level in dBFS of a sine at `frequency` (48 kHz) in samples [from, to), measured with a
// Goertzel filter over a Hann window (so a strong tone elsewhere does not leak into it). A
// full-scale sine gives 0 dBFS; digital silence gives -400.
double toneLevel(const std::vector<std::int16_t>& pcm, std::size_t from, std::size_t to, double frequency);

// Interleaved float stereo of a sine at -6 dBFS, for players that read raw files.
void writeStereoSine(const std::string& path, double frequency, double seconds);

}  // namespace dovrin::pipewire_test
