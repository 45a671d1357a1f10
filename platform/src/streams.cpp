#include "dovrin/platform/streams.h"

#include <cerrno>
#include <unistd.h>

#include "installed.h"

namespace dovrin::platform {
namespace {

// Loops over short writes; a signal caught mid-write (SIGINT, SIGTERM) resumes it.
int writeAll(int fd, const void* data, std::size_t size) {
  auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t written = ::write(fd, bytes, size);
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
StandardStreams& standardStreams() { return slot().get(); }

int writeStandardOutput(const void* data, std::size_t size) { return standardStreams().writeOut(data, size); }
void writeStandardError(std::string_view text) { standardStreams().writeErr(text); }

}  // namespace dovrin::platform
