#include "capture/lifeline.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <thread>

namespace kestravo::capture {

NonBlocking::NonBlocking(int fd) : fd_(fd) {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || (flags & O_NONBLOCK) != 0) return;
  if (::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0) original_flags_ = flags;
}

NonBlocking::~NonBlocking() {
  if (original_flags_ >= 0) ::fcntl(fd_, F_SETFL, original_flags_);
}

void wait_for_end_of_input(int fd, ReadFunction read, SleepFunction sleep) {
  std::array<char, 64> buffer{};
  for (;;) {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n > 0) continue;  // drained at once: input that keeps coming is not slowed down
    if (n == 0) return;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      sleep(kLifelinePoll);
      continue;
    }
    return;  // any other error ends the capture like end of file
  }
}

void wait_for_end_of_input(int fd) {
  wait_for_end_of_input(
      fd, ::read, [](std::chrono::nanoseconds duration) { std::this_thread::sleep_for(duration); });
}

}  // namespace kestravo::capture
