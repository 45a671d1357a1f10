#pragma once
// Standard streams kept in memory, in the order they were written, with a standard output
// that can be made to fail the way a closed pipe does.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "dovrin/platform/clock.h"
#include "dovrin/platform/streams.h"

namespace dovrin::platform::sim {

class MemoryStreams final : public StandardStreams {
 public:
  struct Chunk {
    int stream;  // 1 or 2
    std::string bytes;
    double at;  // the stamping clock's time of the write, 0 without one
  };

  ~MemoryStreams() override;
  void install();
  void uninstall();

  // Writes that would take standard output beyond `bytes` in total fail with `error`,
  // and so does every write after them.
  void failOutputAfter(std::size_t bytes, int error);
  // Stamps every chunk with this clock's time (the simulated clock, typically).
  void stampWith(Clock* clock);
  // Only count standard output (benchmarks).
  void discardOutput(bool on);

  int writeOut(const void* data, std::size_t size) override;
  void writeErr(std::string_view text) override;

  std::string out() const;
  std::vector<std::int16_t> outSamples() const;
  std::string err() const;
  std::vector<std::string> errLines() const;
  std::vector<Chunk> chunks() const;
  std::size_t outBytes() const;
  int failedWrites() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Chunk> chunks_;
  std::size_t outBytes_ = 0;
  std::size_t failAfter_ = static_cast<std::size_t>(-1);
  int failError_ = 0;
  int failedWrites_ = 0;
  bool discard_ = false;
  Clock* stamp_ = nullptr;
  bool installed_ = false;
};

}  // namespace dovrin::platform::sim
