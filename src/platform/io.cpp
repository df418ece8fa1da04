#include "platform/io.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

#include "platform/system_calls.h"

namespace kestravo::platform {

bool write_all(int fd, std::string_view bytes) {
  const SystemCalls& calls = system_calls();
  while (!bytes.empty()) {
    const ssize_t n = calls.write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // no progress would loop forever
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool write_without_blocking(const StreamWriter& writer, std::string_view bytes,
                            const std::function<bool()>& stop) {
  auto pause = std::chrono::milliseconds(0);
  while (!bytes.empty()) {
    const ssize_t n = writer.write_some(bytes);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      pause = std::chrono::milliseconds(0);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;  // the reader has gone
    if (stop()) return false;
    // A stream that says it has room but takes nothing (a socket short of
    // buffer) must not make this a busy loop.
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
    pause = std::clamp(2 * pause, std::chrono::milliseconds(1), kFullWait);
    writer.wait_for_room(kFullWait);
  }
  return true;
}

void read_until_end(int fd) {
  const SystemCalls& calls = system_calls();
  std::array<char, 64> buffer{};
  for (;;) {
    const ssize_t n = calls.read(fd, buffer.data(), buffer.size());
    if (n > 0) continue;  // drained at once: input that keeps coming is not slowed down
    if (n == 0) return;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      return;  // any other error ends it like end of file
    // A descriptor the system cannot wait on still gets its reads,
    // kReadRetry apart.
    if (calls.wait(fd, Ready::input, kInputWait) < 0 && errno != EINTR) {
      std::this_thread::sleep_for(kReadRetry);
    }
  }
}

}  // namespace kestravo::platform
