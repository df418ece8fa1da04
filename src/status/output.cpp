#include "status/output.h"

#include <unistd.h>

#include <cerrno>

namespace kestravo {

bool write_all_fd(int fd, std::string_view bytes, WriteFunction write) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // no progress would loop forever
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

FdOutput::FdOutput(int fd, WriteFunction write) : fd_(fd), write_(write ? write : ::write) {}

bool FdOutput::write_all(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  return write_all_fd(fd_, bytes, write_);
}

Output& standard_output() {
  static auto* out = new FdOutput(STDOUT_FILENO);
  return *out;
}

Output& standard_error() {
  static auto* err = new FdOutput(STDERR_FILENO);
  return *err;
}

}  // namespace kestravo
