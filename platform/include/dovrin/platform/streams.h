#pragma once
// Standard output (raw bytes) and standard error (whole lines), unbuffered.

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
StandardStreams& standardStreams();

int writeStandardOutput(const void* data, std::size_t size);
void writeStandardError(std::string_view text);

}  // namespace dovrin::platform
