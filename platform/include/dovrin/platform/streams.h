#pragma once
// Standard output (raw bytes) and standard error (whole lines), unbuffered.

#include <atomic>
#include <cstddef>
#include <string_view>

namespace dovrin::platform {

class StandardStreams {
 public:
  virtual ~StandardStreams() = default;
  // Writes every byte or fails: returns 0, or the errno of the failed write.
  virtual int writeOut(const void* data, std::size_t size) = 0;
  // Best effort: a standard error nobody reads is no reason to stop.
  virtual void writeErr(std::string_view text) = 0;
};

// nullptr restores file descriptors 1 and 2.
void installStandardStreams(StandardStreams* streams);

// Lets writes to the file descriptors give up once `*stop` is true: a write
// that finds no room for 50 ms then answers ECANCELED, and what it had not
// written is dropped. Without it (nullptr, the default) a write waits for a
// slow reader for ever. A reader that stopped reading must not keep a
// stopped program alive.
void abandonWritesOn(const std::atomic<bool>* stop);
StandardStreams& standardStreams();

int writeStandardOutput(const void* data, std::size_t size);
void writeStandardError(std::string_view text);

}  // namespace dovrin::platform
