// Byte sinks for everything the program writes: status lines and PCM.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string_view>

namespace kestravo {

// The system call used to write; tests replace it to inject EINTR, short
// writes and EPIPE.
using WriteFunction = ssize_t (*)(int fd, const void* data, std::size_t size);

// Writes all of `bytes` to `fd`: short writes continue where they stopped and
// EINTR is retried; any other error gives up and returns false. The bytes a
// failed write did not deliver are dropped, never written again.
bool write_all_fd(int fd, std::string_view bytes, WriteFunction write);

// A byte sink. write_all delivers its bytes as one unit: two calls from
// different threads never interleave. Never throws.
class Output {
 public:
  virtual ~Output() = default;
  virtual bool write_all(std::string_view bytes) = 0;
};

// A file descriptor behind its own lock.
class FdOutput final : public Output {
 public:
  explicit FdOutput(int fd, WriteFunction write = nullptr);
  bool write_all(std::string_view bytes) override;

 private:
  int fd_;
  WriteFunction write_;
  std::mutex mutex_;
};

// The process's standard output and standard error. They are never
// destroyed, so a host thread may still write while the process exits.
Output& standard_output();
Output& standard_error();

}  // namespace kestravo
