#include "platform/process.h"

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/system_calls.h"
#include "text/utf16.h"

namespace kestravo::platform {

namespace {

struct StandardFds {
  int out = 1;
  int err = 2;
};

StandardFds& standard_fds() {
  static StandardFds fds;
  return fds;
}

// A duplicate of `handle` that no child process inherits, as a C runtime
// descriptor in binary mode; -1 when there is no such handle or it cannot be
// copied.
int private_copy(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  HANDLE copy = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS) == 0) {
    return -1;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(copy), _O_WRONLY | _O_BINARY);
  if (fd < 0) CloseHandle(copy);
  return fd;
}

// Points the process's own standard output or error (`which`) and the C
// runtime's descriptor `fd` at the null device.
void point_at_null(DWORD which, int fd) {
  const HANDLE null =
      CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  if (null == INVALID_HANDLE_VALUE) return;
  const int null_fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(null), _O_WRONLY | _O_BINARY);
  if (null_fd < 0) {
    CloseHandle(null);
    return;
  }
  // The descriptor keeps the handle; the standard handle is the same one.
  _dup2(null_fd, fd);
  _close(null_fd);
  SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

struct LocalFreeDeleter {
  void operator()(LPWSTR* list) const { LocalFree(static_cast<HLOCAL>(list)); }
};

}  // namespace

void prepare_process() {
  // Each stream on its own: one that is missing or cannot be copied stays
  // as it is, and writes to it fail quietly.
  const int out = private_copy(GetStdHandle(STD_OUTPUT_HANDLE));
  if (out >= 0) {
    point_at_null(STD_OUTPUT_HANDLE, 1);
    standard_fds().out = out;
  }
  const int err = private_copy(GetStdHandle(STD_ERROR_HANDLE));
  if (err >= 0) {
    point_at_null(STD_ERROR_HANDLE, 2);
    standard_fds().err = err;
  }
  // A write to a pipe whose reader has gone fails with ERROR_NO_DATA or
  // ERROR_BROKEN_PIPE (see system_calls()); Windows has no signal to ignore.
}

int output_descriptor() { return standard_fds().out; }
int error_descriptor() { return standard_fds().err; }

// Windows makes no promise that a write to a pipe is taken whole or not at
// all, whatever its size.
std::size_t whole_write_limit() { return 0; }

// A named pipe (an anonymous pipe is one) tells its buffer size and, where
// the system lets its writer look, what is still queued in it; anything else
// tells nothing.
RoomGauge::RoomGauge(int fd) : fd_(fd) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
  if (GetFileType(handle) != FILE_TYPE_PIPE) return;
  DWORD out_size = 0;
  if (GetNamedPipeInfo(handle, nullptr, &out_size, nullptr, nullptr) == 0 || out_size == 0) return;
  kind_ = Kind::Pipe;
  capacity_ = out_size;
}

std::optional<Room> RoomGauge::room() const {
  if (kind_ == Kind::Unknown) return std::nullopt;
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd_));
  DWORD queued = 0;
  if (PeekNamedPipe(handle, nullptr, 0, nullptr, &queued, nullptr) == 0) return std::nullopt;
  return Room{capacity_, capacity_ > queued ? capacity_ - queued : 0};
}

// Windows has no write that fails instead of waiting on a pipe without
// changing the pipe's mode (PIPE_NOWAIT), which the parent's end would see
// too: the writer thread blocks in its writes, and only it waits for a
// reader that stops draining.
StreamWriter::StreamWriter(int fd) : fd_(fd) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  stream_ =
      handle != INVALID_HANDLE_VALUE && handle != nullptr && GetFileType(handle) == FILE_TYPE_PIPE;
}

StreamWriter::~StreamWriter() = default;

ssize_t StreamWriter::write_some(std::string_view bytes) const {
  return system_calls().write(fd(), bytes.data(), bytes.size());
}

void StreamWriter::wait_for_room(std::chrono::milliseconds wait) const {
  system_calls().wait(fd(), Ready::output, wait);
}

void wait_for_end_of_input() {
  // Blocks in ReadFile: a pipe's end of file (its writer closed) ends the
  // read at once, with 0 bytes. Any error, a missing standard input
  // included, ends the capture like end of file.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  std::array<char, 64> buffer{};
  for (;;) {
    DWORD n = 0;
    if (ReadFile(input, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr) == 0 ||
        n == 0) {
      return;
    }
  }
}

std::vector<std::string> arguments(int, const char* const*) {
  // The C runtime's argv is in the ANSI code page, which cannot hold every
  // name; the command line itself is UTF-16.
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreeDeleter> list(
      CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> args;
  if (!list) return args;
  for (int i = 1; i < count; ++i) {
    const std::wstring_view arg(list.get()[i]);
    args.push_back(text::utf8_from_utf16(std::u16string(arg.begin(), arg.end())));
  }
  return args;
}

void exit_now(int status) {
  // No DLL is told of the exit: a thread stuck inside an audio driver must
  // not hold it up.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace kestravo::platform
