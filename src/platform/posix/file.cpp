#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/errno_text.h"
#include "platform/system_calls.h"

namespace kestravo::platform {

namespace {

struct FileDescriptor {
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

}  // namespace

// A path that never ends (/dev/zero) stops at the size limit; one that sends
// nothing (a FIFO without a writer, a terminal) is given up after a while
// instead of waited on for ever.
std::expected<std::string, std::string> read_whole_file(const std::string& file,
                                                        const FileLimits& limits) {
  const FileDescriptor fd{::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  if (fd.fd < 0) return std::unexpected(errno_text(errno));
  const auto too_large = [&limits] {
    return std::unexpected("more than " + std::to_string(limits.max_bytes >> 20) +
                           " MiB, the reader's limit");
  };
  struct stat status {};
  if (::fstat(fd.fd, &status) == 0 && S_ISREG(status.st_mode) &&
      static_cast<std::uint64_t>(status.st_size) > limits.max_bytes) {
    return too_large();
  }
  const SystemCalls& calls = system_calls();
  std::string contents;
  std::vector<char> chunk(65536);
  using Clock = std::chrono::steady_clock;
  const auto give_up = Clock::now() + limits.total;
  auto idle_until = Clock::now() + limits.idle;
  for (;;) {
    // Waiting first also covers a FIFO without a writer yet, which reads as
    // ended at once.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(std::min(idle_until, give_up) - Clock::now());
    const int polled = left.count() > 0 ? calls.wait(fd.fd, Ready::input, left) : 0;
    if (polled == 0) {
      return std::unexpected(
          Clock::now() >= give_up
              ? "still not read after " + std::to_string(limits.total.count()) + " s"
              : "nothing to read for " + std::to_string(limits.idle.count()) + " s");
    }
    if (polled < 0 && errno != EINTR) return std::unexpected(errno_text(errno));
    if (polled < 0) continue;
    const ssize_t n = calls.read(fd.fd, chunk.data(), chunk.size());
    if (n > 0) {
      if (contents.size() + static_cast<std::size_t>(n) > limits.max_bytes) return too_large();
      contents.append(chunk.data(), static_cast<std::size_t>(n));
      idle_until = Clock::now() + limits.idle;
    } else if (n == 0) {
      break;
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return std::unexpected(errno_text(errno));
    }
  }
  return contents;
}

}  // namespace kestravo::platform
