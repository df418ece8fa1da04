#include "platform/output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/io.h"
#include "platform/process.h"

namespace kestravo::platform {

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

PcmOutput::PcmOutput(int fd, std::size_t backlog_capacity)
    : fd_(fd), capacity_(std::max<std::size_t>(backlog_capacity, 1)), direct_(fd) {}

PcmOutput::~PcmOutput() {
  std::unique_lock lock(mutex_);
  if (!started_) return;
  stopping_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !started_; });
}

bool PcmOutput::write_all(std::string_view bytes) { return direct_.write_all(bytes); }

void PcmOutput::choose_path() {
  path_ = Path::Direct;
  try {
    writer_ = std::make_unique<platform::StreamWriter>(fd_);
  } catch (const std::bad_alloc&) {
    return;
  }
  // A file, a terminal, the null device: no reader to wait for.
  if (!writer_->stream()) return;
  gauge_.emplace(fd_);
  path_ = writer_->nonblocking() ? Path::Stream : Path::Queued;
}

bool PcmOutput::write_units(std::string_view bytes, std::size_t unit) {
  const std::size_t whole = platform::whole_write_limit();
  std::unique_lock lock(mutex_);
  if (path_ == Path::Unknown) choose_path();
  if (path_ == Path::Direct || unit == 0 || (whole > 0 && unit > whole)) {
    lock.unlock();
    return direct_.write_units(bytes, unit);
  }
  unit_ = unit;
  std::size_t taken = 0;
  if (path_ == Path::Stream && used_ == 0) {
    // As much as the stream takes now, in pieces it takes whole or not at
    // all; all of it in one write when the stream has room to spare for it
    // (pipes hold data in pages and sockets count their own overhead, so a
    // block that only just fits could still be cut short).
    std::size_t piece = whole / unit * unit;
    if (bytes.size() > piece && gauge_) {
      if (const auto room = gauge_->room(); room && room->free >= 2 * bytes.size() + 16384) {
        piece = bytes.size();
      }
    }
    while (taken < bytes.size()) {
      const std::string_view next = bytes.substr(taken, piece);
      const ssize_t n = writer_->write_some(next);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) return false;  // the reader has gone
      taken += static_cast<std::size_t>(n);
      if (static_cast<std::size_t>(n) < next.size()) break;
    }
    if (taken == bytes.size()) return true;
  }
  const std::string_view rest = bytes.substr(taken);
  if (enqueue(rest, (unit - taken % unit) % unit)) return true;
  // No backlog to be had: the rest is written as it always was.
  lock.unlock();
  return direct_.write_units(rest, unit);
}

bool PcmOutput::enqueue(std::string_view bytes, std::size_t lead) {
  if (!ring_) {
    // Not initialised: pages nobody writes to cost no memory.
    ring_.reset(new (std::nothrow) char[capacity_]);
    if (!ring_) return false;
  }
  if (!start_writer()) return false;
  if (bytes.size() > capacity_ - used_) {
    // Dropped whole, but for the rest of a unit the stream has started.
    const std::size_t keep = lead <= capacity_ - used_ ? lead : 0;
    ++dropped_.blocks;
    dropped_.bytes += bytes.size() - keep;
    bytes = bytes.substr(0, keep);
    if (bytes.empty()) return true;
  }
  const bool was_empty = used_ == 0;
  if (was_empty) lead_ = lead;
  const std::size_t tail = (head_ + used_) % capacity_;
  const std::size_t first = std::min(bytes.size(), capacity_ - tail);
  std::memcpy(ring_.get() + tail, bytes.data(), first);
  std::memcpy(ring_.get(), bytes.data() + first, bytes.size() - first);
  used_ += bytes.size();
  // The writer sleeps only while nothing waits.
  if (was_empty) changed_.notify_all();
  return true;
}

bool PcmOutput::start_writer() {
  if (started_) return true;
  try {
    std::thread([this] { run(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  started_ = true;
  return true;
}

bool PcmOutput::stopping() const {
  const std::lock_guard lock(mutex_);
  return stopping_;
}

void PcmOutput::run() {
  const std::size_t whole = platform::whole_write_limit();
  // For a piece that runs past the end of the ring: it must still go as one
  // write.
  std::vector<char> joined(whole);
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || used_ > 0; });
    if (stopping_) break;
    // The rest of a unit the stream has started, then whole units, up to
    // PIPE_BUF bytes; where the system promises no such size, what lies in
    // one run of the ring.
    const std::size_t run_size = std::min(used_, capacity_ - head_);
    std::size_t size = run_size;
    if (whole > 0) size = std::min(used_, lead_ + (whole - lead_) / unit_ * unit_);
    std::string_view piece(ring_.get() + head_, std::min(size, run_size));
    if (piece.size() < size) {
      std::memcpy(joined.data(), piece.data(), piece.size());
      std::memcpy(joined.data() + piece.size(), ring_.get(), size - piece.size());
      piece = std::string_view(joined.data(), size);
    }
    lock.unlock();
    const bool written =
        writer_->nonblocking()
            ? platform::write_without_blocking(*writer_, piece, [this] { return stopping(); })
            : platform::write_all(fd_, piece);
    lock.lock();
    if (stopping_) break;
    if (written) {
      head_ = (head_ + size) % capacity_;
      used_ -= size;
    } else {
      // The reader has gone: nothing that waits can reach it.
      head_ = 0;
      used_ = 0;
    }
    lead_ = 0;
  }
  started_ = false;
  changed_.notify_all();
}

PcmOutput::Dropped PcmOutput::dropped() const {
  const std::lock_guard lock(mutex_);
  return dropped_;
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

bool QueuedFdOutput::drain_unless_stalled(std::chrono::milliseconds stalled,
                                          std::chrono::milliseconds at_most) {
  const auto began = std::chrono::steady_clock::now();
  const platform::RoomGauge gauge(fd_);
  auto had_room = began;
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    const auto until =
        std::min({now + std::chrono::milliseconds(5), had_room + stalled, began + at_most});
    if (changed_.wait_until(lock, until, [this] { return !busy_ && queue_.empty(); })) return true;
    std::size_t queued = 1;  // a line being written: any room takes more of it
    for (const auto& line : queue_) queued += line.size();
    lock.unlock();
    const auto room = gauge.room();
    lock.lock();
    const auto later = std::chrono::steady_clock::now();
    if (room && room->free >= std::min(room->capacity, queued)) had_room = later;
    if (later >= had_room + stalled || later >= began + at_most) {
      return !busy_ && queue_.empty();
    }
  }
}

PcmOutput& standard_output() {
  static auto* out = new PcmOutput(platform::output_descriptor());
  return *out;
}

QueuedFdOutput& standard_error() {
  static auto* err = new QueuedFdOutput(platform::error_descriptor());
  return *err;
}

}  // namespace kestravo::platform
