// Byte sinks for everything the program writes: status lines and PCM.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process.h"

namespace kestravo::platform {

// A byte sink. Every call delivers its bytes as one unit: two calls from
// different threads never interleave. Never throws.
class Output {
 public:
  virtual ~Output() = default;
  // Writes `bytes` whole, waiting for the stream as long as it takes.
  virtual bool write_all(std::string_view bytes) = 0;
  // For PCM: `bytes` is made of whole units (frames) of `unit` bytes, and
  // the stream is fed so that it has taken a whole number of units at every
  // moment, wherever the stream allows it (a pipe takes up to PIPE_BUF bytes
  // at once or nothing). A process that ends while the write waits for its
  // reader then leaves no partial frame behind.
  virtual bool write_units(std::string_view bytes, std::size_t /*unit*/) {
    return write_all(bytes);
  }
  // For what may be dropped (levels): the bytes are written whole or not at
  // all, and the caller never waits for a stream that is not being drained.
  // False when they were dropped.
  virtual bool try_write(std::string_view bytes) { return write_all(bytes); }
  // For what must never be dropped but must not hold up its caller either:
  // the bytes are written whole, later if the stream is full.
  virtual void queue(std::string_view bytes) { write_all(bytes); }
};

// A file descriptor behind its own lock, written with platform::write_all.
class FdOutput final : public Output {
 public:
  explicit FdOutput(int fd);
  bool write_all(std::string_view bytes) override;
  bool write_units(std::string_view bytes, std::size_t unit) override;

 private:
  int fd_;
  std::mutex mutex_;
  std::optional<platform::RoomGauge> gauge_;  // made at the first large block
};

// PCM on a file descriptor, written so that the caller (the data callback)
// never waits for the stream's reader. On a pipe or a socket that can be
// written without blocking (platform::StreamWriter), a block goes out at once
// as far as the stream takes it: as one write when the stream has room to
// spare for all of it, otherwise in pieces of whole units of up to PIPE_BUF
// bytes, each taken whole or not at all. What the stream does not take
// waits, in order, in a backlog of its own, which a writer thread feeds to
// the stream in the same pieces; so the stream holds a whole number of units
// at every moment, and a process that exits at any time leaves no partial
// unit behind. While anything waits there, later blocks queue behind it. A
// block that does not fit into the backlog is dropped whole. Where the
// system has no such write (Windows), every block goes through the backlog.
// Files, terminals and the null device are written directly, as are units
// larger than PIPE_BUF, which no write can keep whole.
//
// The backlog and the writer thread are made at their first need: a reader
// that keeps up costs one write per block and no wake-up. One unit size per
// output: PCM frames do not change size during a capture.
class PcmOutput final : public Output {
 public:
  // About what a sound server holds for a client that stopped reading.
  static constexpr std::size_t kBacklogCapacity = std::size_t{4} << 20;

  explicit PcmOutput(int fd, std::size_t backlog_capacity = kBacklogCapacity);
  // Stops the writer thread; whatever still waits is dropped.
  ~PcmOutput() override;
  PcmOutput(const PcmOutput&) = delete;
  PcmOutput& operator=(const PcmOutput&) = delete;

  // Written at once, waiting as long as the stream takes.
  bool write_all(std::string_view bytes) override;
  // Never waits for the reader on a pipe or a socket (see above). False
  // when the reader has gone; a dropped block is not a failure.
  bool write_units(std::string_view bytes, std::size_t unit) override;

  // What was dropped because the backlog was full: whole blocks, or the
  // whole rest of one that the stream had started to take.
  struct Dropped {
    std::uint64_t blocks = 0;
    std::uint64_t bytes = 0;
  };
  Dropped dropped() const;

 private:
  enum class Path { Unknown, Direct, Stream, Queued };

  void choose_path();
  // Puts `bytes` behind what waits; `lead` of them complete a unit that the
  // stream has started. False when there is no backlog to be had.
  bool enqueue(std::string_view bytes, std::size_t lead);
  bool start_writer();
  void run();
  bool stopping() const;

  int fd_;
  std::size_t capacity_;
  FdOutput direct_;
  mutable std::mutex mutex_;  // never held while a write waits
  std::condition_variable changed_;
  Path path_ = Path::Unknown;
  std::optional<platform::RoomGauge> gauge_;
  std::unique_ptr<platform::StreamWriter> writer_;
  std::size_t unit_ = 0;
  // The backlog: a ring of capacity_ bytes, of which used_ from head_ on
  // wait. The first lead_ of them complete a unit the stream has started.
  std::unique_ptr<char[]> ring_;
  std::size_t head_ = 0;
  std::size_t used_ = 0;
  std::size_t lead_ = 0;
  Dropped dropped_;
  bool started_ = false;
  bool stopping_ = false;
};

// A file descriptor whose tried and queued lines are written by a thread of
// its own, so that a reader who stops draining it holds up only that thread,
// never the caller. Lines of any length are written whole: lines are skipped
// (try_write) only between lines, and a line that has started is finished unless
// the process exits first. So that an exit leaves no half line behind, a
// line on a pipe or a socket starts only once it fits, where that can be
// known: every line up to PIPE_BUF bytes; a longer one waits kLongLineWait
// at most for room. Where the system has no non-blocking write that leaves
// the stream's shared state alone (platform::StreamWriter), the writer thread
// waits inside its writes; the caller still never does.
class QueuedFdOutput final : public Output {
 public:
  explicit QueuedFdOutput(int fd);
  ~QueuedFdOutput() override;
  QueuedFdOutput(const QueuedFdOutput&) = delete;
  QueuedFdOutput& operator=(const QueuedFdOutput&) = delete;

  // Starts the writer thread (queueing starts it too); false when it cannot
  // be started: every call then writes directly.
  bool start();
  // Written at once by the caller, waiting as long as the stream takes.
  bool write_all(std::string_view bytes) override;
  // Dropped while an earlier line is still queued or being written. A line
  // that the stream takes whole at once is written by the caller, without
  // waking the writer thread.
  bool try_write(std::string_view bytes) override;
  void queue(std::string_view bytes) override;
  // Waits until everything queued has been written, at most until
  // `deadline`; false when something is still waiting.
  bool drain(std::chrono::steady_clock::time_point deadline);
  // Waits until everything queued has been written, giving up once the
  // stream has had no room for it for `stalled` (its reader stopped
  // draining it), or after `at_most` whatever holds it up. While the stream
  // has room, what holds the lines up is this process (a loaded machine
  // that runs the writer late), which is no reason to lose them.
  bool drain_unless_stalled(std::chrono::milliseconds stalled, std::chrono::milliseconds at_most);

  // How long a line longer than PIPE_BUF waits for the stream to have room
  // for all of it before it is started anyway (and then finished).
  static constexpr std::chrono::milliseconds kLongLineWait{1000};

 private:
  bool start_locked();
  void run();
  bool stopping();

  int fd_;
  FdOutput direct_;
  // The queue, and the caller's own writes, which never wait: never held
  // while a write waits.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;
  bool busy_ = false;  // the writer holds a line it has not finished
  bool started_ = false;
  bool stopping_ = false;
  // Made with the writer thread, before it starts.
  std::unique_ptr<platform::StreamWriter> writer_;
};

// The process's standard output and standard error (the private copies once
// platform::prepare_process has run). They are never destroyed, so a host thread
// may still write while the process exits.
PcmOutput& standard_output();
QueuedFdOutput& standard_error();

}  // namespace kestravo::platform
