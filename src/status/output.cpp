#include "status/output.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace kestravo {

bool write_all_fd(int fd, std::string_view bytes, WriteFunction write) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;  // no progress would loop forever
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

FdOutput::FdOutput(int fd, WriteFunction write) : fd_(fd), write_(write ? write : ::write) {}

bool FdOutput::write_all(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  return write_all_fd(fd_, bytes, write_);
}

bool FdOutput::write_units(std::string_view bytes, std::size_t unit) {
  // A pipe takes a write of up to PIPE_BUF bytes whole or not at all, even
  // while it waits for its reader; so pieces of whole units that size keep
  // the stream on a unit boundary. Units larger than that cannot be kept
  // whole and go as one write.
  const std::size_t piece = unit == 0 || unit > PIPE_BUF ? bytes.size() : PIPE_BUF / unit * unit;
  std::lock_guard lock(mutex_);
  while (!bytes.empty()) {
    const std::string_view next = bytes.substr(0, piece);
    if (!write_all_fd(fd_, next, write_)) return false;
    bytes.remove_prefix(next.size());
  }
  return true;
}

namespace {

// What `fd` holds and how much of it is free, as far as the kernel tells:
// for a pipe its capacity and what is queued, for a socket its send buffer
// and what is in flight; none for anything else (terminals and files).
struct Room {
  std::size_t capacity = 0;
  std::size_t free = 0;
};

std::optional<Room> room(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  int capacity = -1;
  int queued = -1;
  if (S_ISFIFO(st.st_mode)) {
    capacity = ::fcntl(fd, F_GETPIPE_SZ);
    if (::ioctl(fd, FIONREAD, &queued) != 0) return std::nullopt;
  } else if (S_ISSOCK(st.st_mode)) {
    socklen_t size = sizeof capacity;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &capacity, &size) != 0) return std::nullopt;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0) return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (capacity < 0 || queued < 0) return std::nullopt;
  const auto total = static_cast<std::size_t>(capacity);
  const auto used = static_cast<std::size_t>(queued);
  return Room{total, total > used ? total - used : 0};
}

// Room enough to start a line that a write may not take whole: pipes hold
// data in pages and sockets count their own overhead, so a line that only
// just fits could still stop half-way. A line too long for that ever to hold
// waits for an empty stream.
bool fits(std::size_t line, const Room& room) {
  return room.free >= std::min(2 * line + 16384, room.capacity);
}

// The longest one wait for a full stream lasts before the writer looks
// whether it is being stopped: a parent that never reads costs ten wake-ups
// a second.
constexpr std::chrono::milliseconds kFullWait{100};

}  // namespace

// How the writer thread reaches its descriptor without ever blocking in a
// write, and without touching the file status flags that the parent and its
// other children share: a pipe is opened afresh through /proc in
// non-blocking mode (a new open file description of the same pipe), a
// socket is sent to with MSG_DONTWAIT. Anything else (a file, a terminal)
// is written as it is; so is a pipe that cannot be opened afresh.
class QueuedFdOutput::Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    if (S_ISSOCK(st.st_mode)) {
      socket_ = true;
      nonblocking_ = true;
    } else if (S_ISFIFO(st.st_mode)) {
      const std::string path = "/proc/self/fd/" + std::to_string(fd);
      own_ = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      nonblocking_ = own_ >= 0;
    }
  }
  ~Writer() {
    if (own_ >= 0) ::close(own_);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Whether a write never blocks (then it may fail with EAGAIN).
  bool nonblocking() const { return nonblocking_; }
  int fd() const { return own_ >= 0 ? own_ : fd_; }

  ssize_t write_some(std::string_view bytes) const {
    if (socket_) return ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return ::write(fd(), bytes.data(), bytes.size());
  }

 private:
  int fd_;
  int own_ = -1;
  bool socket_ = false;
  bool nonblocking_ = false;
};

QueuedFdOutput::QueuedFdOutput(int fd) : fd_(fd), direct_(fd) {}

QueuedFdOutput::~QueuedFdOutput() {
  std::unique_lock lock(mutex_);
  if (!started_) return;
  stopping_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !started_; });
}

bool QueuedFdOutput::start() {
  std::lock_guard lock(mutex_);
  return start_locked();
}

bool QueuedFdOutput::start_locked() {
  if (started_) return true;
  try {
    std::thread([this] { run(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  started_ = true;
  return true;
}

bool QueuedFdOutput::stopping() {
  const std::lock_guard lock(mutex_);
  return stopping_;
}

void QueuedFdOutput::run() {
  const Writer writer(fd_);
  // Writes one line whole, unless the reader has gone or we are stopped.
  const auto write_line = [this, &writer](std::string_view line) {
    // A pipe takes a line of up to PIPE_BUF bytes whole or not at all, so
    // such a line needs no room of its own: a full pipe makes the write fail
    // (or, written as it is, wait) and nothing of the line is out. A longer
    // one waits a while for room, so that it is not left half-written by a
    // process that exits.
    if (line.size() > PIPE_BUF) {
      const auto until = std::chrono::steady_clock::now() + kLongLineWait;
      for (auto pause = std::chrono::milliseconds(2);;
           pause = std::min(2 * pause, std::chrono::milliseconds(kFullWait))) {
        const auto left = room(fd_);
        if (!left || fits(line.size(), *left)) break;
        if (stopping() || std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(pause);
      }
    }
    if (!writer.nonblocking()) {
      direct_.write_all(line);
      return;
    }
    auto pause = std::chrono::milliseconds(0);
    while (!line.empty()) {
      const ssize_t n = writer.write_some(line);
      if (n > 0) {
        line.remove_prefix(static_cast<std::size_t>(n));
        pause = std::chrono::milliseconds(0);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return;  // the reader has gone
      if (stopping()) return;
      // A stream that says it has room but takes nothing (a socket short of
      // buffer) must not make this a busy loop.
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
      pause = std::clamp(2 * pause, std::chrono::milliseconds(1), kFullWait);
      pollfd out{writer.fd(), POLLOUT, 0};
      ::poll(&out, 1, static_cast<int>(kFullWait.count()));
    }
  };

  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping, and nothing left
    std::string line = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    write_line(line);
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
  started_ = false;
  changed_.notify_all();
}

bool QueuedFdOutput::write_all(std::string_view bytes) { return direct_.write_all(bytes); }

bool QueuedFdOutput::offer(std::string_view bytes) {
  {
    std::lock_guard lock(mutex_);
    if (start_locked()) {
      if (busy_ || !queue_.empty()) return false;
      queue_.emplace_back(bytes);
      changed_.notify_all();
      return true;
    }
  }
  return direct_.write_all(bytes);
}

void QueuedFdOutput::post(std::string_view bytes) {
  {
    std::lock_guard lock(mutex_);
    if (start_locked()) {
      queue_.emplace_back(bytes);
      changed_.notify_all();
      return;
    }
  }
  direct_.write_all(bytes);
}

bool QueuedFdOutput::drain(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(lock, deadline, [this] { return !busy_ && queue_.empty(); });
}

namespace {

struct StandardFds {
  int out = STDOUT_FILENO;
  int err = STDERR_FILENO;
};

StandardFds& standard_fds() {
  static StandardFds fds;
  return fds;
}

}  // namespace

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

Output& standard_output() {
  static auto* out = new FdOutput(standard_fds().out);
  return *out;
}

QueuedFdOutput& standard_error() {
  static auto* err = new QueuedFdOutput(standard_fds().err);
  return *err;
}

}  // namespace kestravo
