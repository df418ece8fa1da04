#include "status/output.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/process.h"

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

FdOutput::FdOutput(int fd, WriteFunction write)
    : fd_(fd), write_(write ? write : platform::write) {}

bool FdOutput::write_all(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  return write_all_fd(fd_, bytes, write_);
}

namespace {

// A line is written only once it fits with room to spare: pipes hold data
// in pages and sockets count their own overhead, so a line that only just
// fits could still block half-way, and a process exiting then would leave
// half a line behind.
std::size_t room_needed(std::size_t line) { return 2 * line + 16384; }

}  // namespace

QueuedFdOutput::QueuedFdOutput(int fd, WriteFunction write) : fd_(fd), direct_(fd, write) {}

QueuedFdOutput::~QueuedFdOutput() {
  std::unique_lock lock(mutex_);
  if (!started_) return;
  stopping_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !started_; });
}

bool QueuedFdOutput::start() {
  std::lock_guard lock(mutex_);
  if (started_) return true;
  try {
    std::thread([this] { run(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  started_ = true;
  return true;
}

void QueuedFdOutput::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping, and nothing left
    std::string line = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    // A reader that has stopped draining the stream holds the line here,
    // never in the middle of writing it.
    // The wait backs off: a parent that never reads costs a few wake-ups a
    // second, not hundreds.
    for (auto pause = std::chrono::milliseconds(2);;
         pause = std::min(2 * pause, std::chrono::milliseconds(100))) {
      const auto left = platform::room(fd_);
      if (!left || *left >= room_needed(line.size())) break;
      {
        const std::lock_guard stop_check(mutex_);
        if (stopping_) break;
      }
      std::this_thread::sleep_for(pause);
    }
    direct_.write_all(line);
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
    if (started_) {
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
    if (started_) {
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

Output& standard_output() {
  static auto* out = new FdOutput(platform::output_descriptor());
  return *out;
}

QueuedFdOutput& standard_error() {
  static auto* err = new QueuedFdOutput(platform::error_descriptor());
  return *err;
}

}  // namespace kestravo
