#include "platform/output.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "platform/io.h"
#include "platform/process.h"

namespace kestravo {

namespace {

// Room enough to start a line that a write may not take whole: pipes hold
// data in pages and sockets count their own overhead, so a line that only
// just fits could still stop half-way. A line too long for that ever to hold
// waits for an empty stream.
bool fits(std::size_t line, const platform::Room& room) {
  return room.free >= std::min(2 * line + 16384, room.capacity);
}

}  // namespace

FdOutput::FdOutput(int fd) : fd_(fd) {}

bool FdOutput::write_all(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  return platform::write_all(fd_, bytes);
}

bool FdOutput::write_units(std::string_view bytes, std::size_t unit) {
  // A pipe takes a write of up to PIPE_BUF bytes whole or not at all, even
  // while it waits for its reader; so pieces of whole units that size keep
  // the stream on a unit boundary. Units larger than that cannot be kept
  // whole and go as one write, as does everything where the system promises
  // no such size. A block the stream has room for, as a reader that keeps
  // up leaves it, goes as one write: a write that never waits is never cut
  // short by an exit, and one write wakes the reader once.
  const std::size_t whole = platform::whole_write_limit();
  std::size_t piece = unit == 0 || unit > whole ? bytes.size() : whole / unit * unit;
  std::lock_guard lock(mutex_);
  if (bytes.size() > piece) {
    if (!gauge_) gauge_.emplace(fd_);
    if (const auto left = gauge_->room(); left && fits(bytes.size(), *left)) {
      piece = bytes.size();
    }
  }
  while (!bytes.empty()) {
    const std::string_view next = bytes.substr(0, piece);
    if (!platform::write_all(fd_, next)) return false;
    bytes.remove_prefix(next.size());
  }
  return true;
}

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
    if (!writer_) writer_ = std::make_unique<platform::StreamWriter>(fd_);
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
  // The writer thread never blocks in a write where the system allows it
  // (platform::StreamWriter).
  const platform::StreamWriter& writer = *writer_;
  const std::size_t whole = platform::whole_write_limit();
  // Writes one line whole, unless the reader has gone or we are stopped.
  const auto write_line = [this, &writer, whole](std::string_view line) {
    // A pipe takes a line of up to PIPE_BUF bytes whole or not at all, so
    // such a line needs no room of its own: a full pipe makes the write fail
    // (or, written as it is, wait) and nothing of the line is out. A longer
    // one waits a while for room, so that it is not left half-written by a
    // process that exits; where the system promises no such size (Windows),
    // every line does.
    if (line.size() > whole) {
      const auto until = std::chrono::steady_clock::now() + kLongLineWait;
      const platform::RoomGauge gauge(fd_);
      for (auto pause = std::chrono::milliseconds(2);;
           pause = std::min(2 * pause, platform::kFullWait)) {
        const auto left = gauge.room();
        if (!left || fits(line.size(), *left)) break;
        if (stopping() || std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(pause);
      }
    }
    if (!writer.nonblocking()) {
      direct_.write_all(line);
      return;
    }
    platform::write_without_blocking(writer, line, [this] { return stopping(); });
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

bool QueuedFdOutput::try_write(std::string_view bytes) {
  {
    std::lock_guard lock(mutex_);
    if (start_locked()) {
      if (busy_ || !queue_.empty()) return false;
      // The writer is idle: a line a pipe takes whole, or nothing of it,
      // is tried here first, without waiting. What is not taken goes to the
      // writer thread as before.
      if (writer_->nonblocking() && bytes.size() <= platform::whole_write_limit()) {
        const ssize_t n = writer_->write_some(bytes);
        if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
        if (bytes.empty()) return true;
      }
      queue_.emplace_back(bytes);
      changed_.notify_all();
      return true;
    }
  }
  return direct_.write_all(bytes);
}

void QueuedFdOutput::queue(std::string_view bytes) {
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

Output& standard_output() {
  static auto* out = new FdOutput(platform::output_descriptor());
  return *out;
}

QueuedFdOutput& standard_error() {
  static auto* err = new QueuedFdOutput(platform::error_descriptor());
  return *err;
}

}  // namespace kestravo
