#include "platform/file.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/errno_text.h"

namespace kestravo::platform {

namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// A path from the environment: UTF-8 where it is, else the ANSI code page the
// C runtime handed it over in.
std::wstring wide_path(const std::string& path) {
  for (const UINT page : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
    const DWORD flags = page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int size =
        MultiByteToWideChar(page, flags, path.data(), static_cast<int>(path.size()), nullptr, 0);
    if (size <= 0 && !path.empty()) continue;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(page, flags, path.data(), static_cast<int>(path.size()), wide.data(), size);
    return wide;
  }
  return {};
}

// The C library's words for the failures a user can do something about.
std::string error_text(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return errno_text(ENOENT);
    case ERROR_ACCESS_DENIED:
      return errno_text(EACCES);
    default:
      return "Windows error " + std::to_string(error);
  }
}

}  // namespace

// Only files and pipes that end: Windows names no FIFOs in a file system, so
// nothing here waits for a writer.
std::expected<std::string, std::string> read_whole_file(const std::string& path,
                                                        const FileLimits& limits) {
  const Handle file(CreateFileW(wide_path(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return std::unexpected(error_text(GetLastError()));
  std::string contents;
  std::vector<char> chunk(65536);
  for (;;) {
    DWORD n = 0;
    if (ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr) == 0) {
      const DWORD error = GetLastError();
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) break;
      return std::unexpected(error_text(error));
    }
    if (n == 0) break;
    if (contents.size() + n > limits.max_bytes) {
      return std::unexpected("more than " + std::to_string(limits.max_bytes >> 20) +
                             " MiB, the reader's limit");
    }
    contents.append(chunk.data(), n);
  }
  return contents;
}

}  // namespace kestravo::platform
