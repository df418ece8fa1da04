// What the program needs from the operating system around its audio: its
// standard streams, its lifeline on standard input, its arguments and its
// exit. One implementation per system family (posix/, windows/); nothing else
// in the program calls the system for these.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
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

// One write to `fd`: the bytes written (possibly fewer than `size`), or -1
// with errno set. A pipe whose reader has gone gives EPIPE on every system.
ssize_t write(int fd, const void* data, std::size_t size);

// How many bytes `fd` takes without blocking, where the system can tell (a
// pipe or a socket); none otherwise.
std::optional<std::size_t> room(int fd);

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
