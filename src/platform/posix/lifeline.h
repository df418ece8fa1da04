// Standard input as the capture's lifeline: the parent ends the capture by
// closing its end of the pipe. It is read without blocking, with waits for
// input between reads (platform::read_until_end).
#pragma once

#include <signal.h>

namespace kestravo::platform {

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

}  // namespace kestravo::platform
