#include "platform/system_calls.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>

namespace kestravo::platform {

namespace {

ssize_t write_fd(int fd, const void* data, std::size_t size) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    errno = EBADF;
    return -1;
  }
  const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, std::size_t{1} << 30));
  DWORD written = 0;
  if (WriteFile(handle, data, chunk, &written, nullptr) == 0) {
    const DWORD error = GetLastError();
    errno = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ? EPIPE : EIO;
    return -1;
  }
  return static_cast<ssize_t>(written);
}

ssize_t read_fd(int fd, void* buffer, std::size_t size) {
  return _read(fd, buffer, static_cast<unsigned>(std::min<std::size_t>(size, 1U << 30)));
}

// Nothing here waits on a descriptor's readiness: the wait lasts its whole
// time and then lets the caller try again.
int wait_fd(int, Ready, std::chrono::milliseconds timeout) {
  Sleep(static_cast<DWORD>(timeout.count()));
  return 1;
}

}  // namespace

// Windows has no write that fails instead of waiting, so a "send" is a write.
SystemCalls& system_calls() {
  static SystemCalls calls{write_fd, write_fd, read_fd, wait_fd};
  return calls;
}

}  // namespace kestravo::platform
