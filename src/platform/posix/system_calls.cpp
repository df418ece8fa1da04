#include "platform/system_calls.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace kestravo::platform {

namespace {

#if defined(__linux__)
// The system calls themselves rather than libc's write and send: those are
// thread-cancellation points and mark every call as one, which costs more
// than the rest of a PCM block's way out. No thread here is ever cancelled.
ssize_t write_fd(int fd, const void* data, std::size_t size) {
  return ::syscall(SYS_write, fd, data, size);
}

ssize_t send_fd(int fd, const void* data, std::size_t size) {
  return ::syscall(SYS_sendto, fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, nullptr, 0);
}
#else
ssize_t write_fd(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }

ssize_t send_fd(int fd, const void* data, std::size_t size) {
  return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}
#endif

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
