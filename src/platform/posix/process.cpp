#include "platform/process.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <string>

#include "platform/io.h"
#include "platform/posix/lifeline.h"
#include "platform/system_calls.h"

namespace kestravo::platform {

namespace {

struct StandardFds {
  int out = STDOUT_FILENO;
  int err = STDERR_FILENO;
};

StandardFds& standard_fds() {
  static StandardFds fds;
  return fds;
}

// Keeps private close-on-exec copies of descriptors 1 and 2 for the program's
// own output and points 1 and 2 at the null device. Libraries (and the
// processes they start) then print nowhere, and a process a library leaves
// behind cannot hold the parent's pipes open.
void take_standard_streams() {
  // Above 2, so that no library that opens a file takes the place of the
  // standard descriptors we are about to point at the null device.
  const int out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int err = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (out < 0 || err < 0 || null < 0) {
    // Without private copies the program keeps writing to 1 and 2 as they
    // are; what a library prints then goes there too.
    if (out >= 0) ::close(out);
    if (err >= 0) ::close(err);
    if (null >= 0) ::close(null);
    return;
  }
  ::dup2(null, STDOUT_FILENO);
  ::dup2(null, STDERR_FILENO);
  ::close(null);
  standard_fds() = StandardFds{out, err};
}

}  // namespace

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is fd itself when the
    // lower ones are open; dup2 covers the other case.
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) continue;  // nothing better to do: writes will fail quietly
    if (null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  take_standard_streams();
  ::signal(SIGPIPE, SIG_IGN);
}

int output_descriptor() { return standard_fds().out; }
int error_descriptor() { return standard_fds().err; }

std::size_t whole_write_limit() { return PIPE_BUF; }

// For a pipe its capacity and what is queued, for a socket its send buffer
// and what is in flight.
RoomGauge::RoomGauge(int fd) : fd_(fd) {
  if (const int pipe_size = ::fcntl(fd, F_GETPIPE_SZ); pipe_size > 0) {
    kind_ = Kind::Pipe;
    capacity_ = static_cast<std::size_t>(pipe_size);
    return;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return;
  int send_buffer = 0;
  socklen_t size = sizeof send_buffer;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, &size) != 0 || send_buffer <= 0) {
    return;
  }
  kind_ = Kind::Socket;
  capacity_ = static_cast<std::size_t>(send_buffer);
}

std::optional<Room> RoomGauge::room() const {
  if (kind_ == Kind::Unknown) return std::nullopt;
  int queued = -1;
  if (::ioctl(fd_, kind_ == Kind::Pipe ? FIONREAD : SIOCOUTQ, &queued) != 0 || queued < 0) {
    return std::nullopt;
  }
  const auto used = static_cast<std::size_t>(queued);
  return Room{capacity_, capacity_ > used ? capacity_ - used : 0};
}

// A pipe is opened afresh through /proc in non-blocking mode (a new open
// file description of the same pipe, so the file status flags that the
// parent and its other children share stay as they are); a socket is sent
// to with MSG_DONTWAIT. Anything else (a file, a terminal) is written as it
// is; so is a pipe that cannot be opened afresh.
StreamWriter::StreamWriter(int fd) : fd_(fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  stream_ = S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode);
  if (S_ISSOCK(st.st_mode)) {
    socket_ = true;
    nonblocking_ = true;
  } else if (S_ISFIFO(st.st_mode)) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    own_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    nonblocking_ = own_ >= 0;
  } else if (S_ISREG(st.st_mode)) {
    nonblocking_ = true;  // a file has no reader to wait for
  } else if (S_ISCHR(st.st_mode)) {
    struct stat null {};
    nonblocking_ = ::stat("/dev/null", &null) == 0 && st.st_rdev == null.st_rdev;
  }
}

StreamWriter::~StreamWriter() {
  if (own_ >= 0) ::close(own_);
}

ssize_t StreamWriter::write_some(std::string_view bytes) const {
  const SystemCalls& calls = system_calls();
  return (socket_ ? calls.send : calls.write)(fd(), bytes.data(), bytes.size());
}

void StreamWriter::wait_for_room(std::chrono::milliseconds wait) const {
  system_calls().wait(fd(), Ready::output, wait);
}

void wait_for_end_of_input() {
  const NonBlocking non_blocking(STDIN_FILENO);
  read_until_end(STDIN_FILENO);
}

std::vector<std::string> arguments(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

void exit_now(int status) { ::_exit(status); }

}  // namespace kestravo::platform
