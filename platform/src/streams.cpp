#include "dovrin/platform/streams.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "installed.h"

namespace dovrin::platform {
namespace {

std::atomic<const std::atomic<bool>*> abandonFlag{nullptr};

constexpr int kStopCheckMs = 50;

// Loops over short writes; a signal caught mid-write (SIGINT, SIGTERM) resumes it.
// With an abandon flag, each piece waits for room with poll first and is at
// most PIPE_BUF bytes, which a pipe with room takes without blocking, so the
// flag is seen within one wait however full the pipe stays.
int writeAll(int fd, const void* data, std::size_t size) {
  auto* bytes = static_cast<const unsigned char*>(data);
  const std::atomic<bool>* stop = abandonFlag.load(std::memory_order_acquire);
  while (size > 0) {
    std::size_t piece = size;
    if (stop != nullptr) {
      pollfd room{fd, POLLOUT, 0};
      const int ready = ::poll(&room, 1, kStopCheckMs);
      if (ready < 0 && errno != EINTR) return errno;
      if (ready <= 0) {
        if (stop->load(std::memory_order_relaxed)) return ECANCELED;
        continue;
      }
      piece = std::min<std::size_t>(size, PIPE_BUF);
    }
    ssize_t written = ::write(fd, bytes, piece);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

class FileDescriptorStreams final : public StandardStreams {
 public:
  int writeOut(const void* data, std::size_t size) override { return writeAll(STDOUT_FILENO, data, size); }
  void writeErr(std::string_view text) override { (void)writeAll(STDERR_FILENO, text.data(), text.size()); }
};

detail::Installed<StandardStreams>& slot() {
  static FileDescriptorStreams descriptors;
  static detail::Installed<StandardStreams> installed(descriptors);
  return installed;
}

}  // namespace

void installStandardStreams(StandardStreams* streams) { slot().install(streams); }
void abandonWritesOn(const std::atomic<bool>* stop) { abandonFlag.store(stop, std::memory_order_release); }
StandardStreams& standardStreams() { return slot().get(); }

int writeStandardOutput(const void* data, std::size_t size) { return standardStreams().writeOut(data, size); }
void writeStandardError(std::string_view text) { standardStreams().writeErr(text); }

}  // namespace dovrin::platform
