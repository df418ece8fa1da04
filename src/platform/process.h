// What the program needs from the operating system around its audio: its
// standard streams, its lifeline on standard input, its arguments and its
// exit. One implementation per system family (posix/, windows/); nothing else
// in the program calls the system for these.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestravo::platform {

// Runs first thing at start-up. Makes sure standard input, output and error
// exist (on the null device where they were missing), keeps private copies of
// standard output and error that no child process inherits, points the
// process's own standard output and error at the null device, so that
// whatever a library prints reaches nobody, and makes a write to a closed
// pipe fail instead of ending the process.
void prepare_process();

// The descriptors of the private copies: standard output and error as they
// are until prepare_process has made the copies.
int output_descriptor();
int error_descriptor();

// The largest write a pipe takes whole or not at all, even while it waits
// for its reader (PIPE_BUF on POSIX systems); 0 where the system promises no
// such size.
std::size_t whole_write_limit();

// What `fd` holds and how much of it is free, where the system can tell (a
// pipe or a socket); none otherwise (terminals and files).
struct Room {
  std::size_t capacity = 0;
  std::size_t free = 0;
};

// Asks a stream for its room again and again. What it holds is asked once:
// only its reader, on purpose, changes that.
class RoomGauge {
 public:
  explicit RoomGauge(int fd);
  std::optional<Room> room() const;

 private:
  enum class Kind { Unknown, Pipe, Socket };
  int fd_;
  Kind kind_ = Kind::Unknown;
  std::size_t capacity_ = 0;
};

// How a thread that must never block in a write reaches `fd`, without
// touching any state of the stream that the parent and its other children
// share. Where the system offers no such write (see nonblocking), writes
// block as they would on `fd` itself.
class StreamWriter {
 public:
  explicit StreamWriter(int fd);
  ~StreamWriter();
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  // Whether a write never blocks (it then fails with EAGAIN on a full
  // stream).
  bool nonblocking() const { return nonblocking_; }
  // Whether `fd` is a pipe or a socket: a stream whose reader may stop
  // draining it.
  bool stream() const { return stream_; }
  // One write: the bytes written, or -1 with errno set.
  ssize_t write_some(std::string_view bytes) const;
  // Waits up to `wait` for a full stream to take bytes again.
  void wait_for_room(std::chrono::milliseconds wait) const;

 private:
  int fd() const { return own_ >= 0 ? own_ : fd_; }

  int fd_;
  int own_ = -1;  // a descriptor of our own for the same stream
  bool socket_ = false;
  bool nonblocking_ = false;
  bool stream_ = false;
};

// Returns once standard input has ended: end of file, or any error reading
// it. Input that arrives meanwhile is read and discarded.
void wait_for_end_of_input();

// The arguments after the program's own name, as the system hands them over
// (bytes on POSIX systems, UTF-8 decoded from the UTF-16 command line on
// Windows).
std::vector<std::string> arguments(int argc, const char* const* argv);

// Ends the process at once with `status`: no static destruction, no atexit
// handlers. Every write of the program has already reached the system.
[[noreturn]] void exit_now(int status);

}  // namespace kestravo::platform
