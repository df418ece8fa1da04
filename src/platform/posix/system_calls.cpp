#include "platform/system_calls.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestravo::platform {

namespace {

ssize_t write_fd(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }

ssize_t send_fd(int fd, const void* data, std::size_t size) {
  return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}

ssize_t read_fd(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }

int wait_fd(int fd, Ready what, std::chrono::milliseconds timeout) {
  pollfd ready{fd, static_cast<short>(what == Ready::input ? POLLIN : POLLOUT), 0};
  return ::poll(&ready, 1, static_cast<int>(timeout.count()));
}

}  // namespace

SystemCalls& system_calls() {
  static SystemCalls calls{write_fd, send_fd, read_fd, wait_fd};
  return calls;
}

}  // namespace kestravo::platform
