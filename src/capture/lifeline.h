// Standard input as the capture's lifeline: the parent ends the capture by
// closing its end of the pipe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>

namespace kestravo::capture {

// The system calls the lifeline uses; tests replace them to inject EINTR,
// EAGAIN and errors.
using ReadFunction = ssize_t (*)(int fd, void* buffer, std::size_t size);
using SleepFunction = void (*)(std::chrono::nanoseconds duration);

inline constexpr std::chrono::nanoseconds kLifelinePoll = std::chrono::milliseconds(50);

// Puts `fd` in non-blocking mode for the object's lifetime and restores its
// original file status flags afterwards. The flags belong to the open file
// description, which the parent (often an interactive shell) shares, so
// leaving O_NONBLOCK behind would make its own reads fail. When the flags
// cannot be read nothing is changed and reads simply block.
class NonBlocking {
 public:
  explicit NonBlocking(int fd);
  ~NonBlocking();
  NonBlocking(const NonBlocking&) = delete;
  NonBlocking& operator=(const NonBlocking&) = delete;

 private:
  int fd_;
  int original_flags_ = -1;  // -1: we changed nothing
};

// Reads and discards `fd` in 64-byte reads until end of file or an error
// other than EINTR and EAGAIN; sleeps kLifelinePoll whenever nothing is
// waiting. A signal interrupting the read does not end the capture.
void wait_for_end_of_input(int fd, ReadFunction read, SleepFunction sleep);

// The same with the real read(2) and a real sleep.
void wait_for_end_of_input(int fd);

}  // namespace kestravo::capture
