// Standard input as the capture's lifeline: the parent ends the capture by
// closing its end of the pipe.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>

namespace kestravo::capture {

// The system calls the lifeline uses; tests replace them to inject EINTR,
// EAGAIN and errors.
using ReadFunction = ssize_t (*)(int fd, void* buffer, std::size_t size);
// Waits at most `timeout` for `fd` to have input (or end of file).
using WaitFunction = void (*)(int fd, std::chrono::nanoseconds timeout);

// Between two reads of a descriptor that poll(2) cannot wait on.
inline constexpr std::chrono::nanoseconds kLifelinePoll = std::chrono::milliseconds(50);
// The longest one wait in poll(2) lasts. End of file wakes it at once, so
// this only bounds how often an idle capture wakes up.
inline constexpr std::chrono::nanoseconds kLifelineWait = std::chrono::seconds(1);

// Puts `fd` in non-blocking mode for the object's lifetime and restores its
// original file status flags afterwards. The flags belong to the open file
// description, which the parent (often an interactive shell) shares, so
// leaving O_NONBLOCK behind would make its own reads fail. When the flags
// cannot be read nothing is changed and reads simply block.
//
// SIGINT, SIGTERM and SIGHUP (where they would kill the process) restore the
// flags too before the process dies of the same signal, so that the parent
// still sees how it ended. Only one NonBlocking may exist at a time.
class NonBlocking {
 public:
  explicit NonBlocking(int fd);
  ~NonBlocking();
  NonBlocking(const NonBlocking&) = delete;
  NonBlocking& operator=(const NonBlocking&) = delete;

 private:
  int fd_;
  int original_flags_ = -1;  // -1: we changed nothing
  struct sigaction previous_[3] = {};
  bool installed_[3] = {};
};

// Reads and discards `fd` in 64-byte reads until end of file or an error
// other than EINTR and EAGAIN; whenever nothing is waiting, waits up to
// kLifelineWait for input. A signal interrupting the read does not end the
// capture.
void wait_for_end_of_input(int fd, ReadFunction read, WaitFunction wait);

// The same with the real read(2), waiting in poll(2): end of file is seen as
// soon as it happens, not at the next poll.
void wait_for_end_of_input(int fd);

}  // namespace kestravo::capture
