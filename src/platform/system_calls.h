// The system calls under the platform layer's retry loops, gathered in one
// table so that a test can put its own in their place and inject EINTR,
// EAGAIN, short writes and EPIPE. Nothing else calls them directly.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>

namespace kestravo::platform {

// What a wait on a descriptor waits for.
enum class Ready { input, output };

// Each entry answers as the system call does: -1 with errno set on failure.
struct SystemCalls {
  // One write: the bytes written, possibly fewer than `size`. A pipe whose
  // reader has gone gives EPIPE on every system.
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  // One write to a socket that never waits and never raises SIGPIPE: EAGAIN
  // when the socket is full.
  ssize_t (*send)(int fd, const void* data, std::size_t size);
  // One read: the bytes read, 0 at end of file.
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  // Waits at most `timeout` for `fd` to be ready: 1 when it is (or has
  // ended), 0 when the time ran out.
  int (*wait)(int fd, Ready what, std::chrono::milliseconds timeout);
};

// The table in use. Only a test swaps it, while nothing else runs.
SystemCalls& system_calls();

}  // namespace kestravo::platform
