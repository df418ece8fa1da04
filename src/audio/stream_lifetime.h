// How a stream of any host lives and ends, the same for every host: the
// threads it starts, the wake-up that its release sends them, a release that
// waits a bounded while and never for its own thread, and the loss of the
// device, reported once. The hosts keep only what is their own: how to wait
// for their device and what to hand to the data callback.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "audio/audio.h"
#include "platform/wake.h"

namespace kestravo::audio {

// Starts `body` on a thread that is never joined: nothing waits for it but
// through what `body` itself shares. The error is why no thread could be
// started.
std::expected<void, std::string> start_detached_thread(std::function<void()> body);

// Shared by a stream's handle, the threads the stream started and its
// callbacks; always on the heap, since a thread left behind at release (or
// still running at the process exit) may touch it after the handle is gone.
class StreamLifetime : public std::enable_shared_from_this<StreamLifetime> {
 public:
  using Clock = std::chrono::steady_clock;

  // A lifetime whose stream reports its errors to `on_error`; an error when
  // the wake-up descriptor cannot be made.
  static std::expected<std::shared_ptr<StreamLifetime>, BuildStreamError> create(
      ErrorCallback on_error);

  ~StreamLifetime();
  StreamLifetime(const StreamLifetime&) = delete;
  StreamLifetime& operator=(const StreamLifetime&) = delete;

  // Starts `body` on a thread of its own, which holds this lifetime until
  // `body` returns; release waits for it. The error names `what` the thread
  // was for.
  std::expected<void, BuildStreamError> start_thread(std::string_view what,
                                                     std::function<void()> body);

  // Marks a callback on a thread that is not ours (a library's loop) as
  // running: release waits for it as for a thread of ours. Entering comes
  // before the caller's stopping() test.
  class ForeignCallback {
   public:
    explicit ForeignCallback(StreamLifetime& lifetime);
    ~ForeignCallback();
    ForeignCallback(const ForeignCallback&) = delete;
    ForeignCallback& operator=(const ForeignCallback&) = delete;

   private:
    StreamLifetime& lifetime_;
    const StreamLifetime* outer_;
  };
  // Whether such a callback runs now; one that does not return is held up,
  // usually by a full standard output.
  bool in_foreign_callback() const {
    return foreign_callbacks_.load(std::memory_order_seq_cst) != 0;
  }

  // Release has begun: threads end at their next step, callbacks return at
  // once, and nothing more is reported.
  bool stopping() const { return stopping_.load(std::memory_order_seq_cst); }
  // Sleeps until `deadline` or release, whichever comes first; true once
  // release has begun.
  bool wait_until(Clock::time_point deadline);
  // For a thread that waits in the system's own wait (poll() on POSIX
  // systems): set once release has begun.
  const platform::WakeSignal& wake() const { return *wake_; }

  // Reports `error` unless release has begun. Reports never overlap, from
  // whichever thread they come.
  void report(const StreamError& error);
  // The device is lost: the first call reports it `notifications` times
  // (a platform may notify more than once), every later call nothing.
  void report_lost(std::uint64_t notifications = 1);
  bool lost() const { return lost_.load(std::memory_order_seq_cst); }
  // What the stream's play answers: it runs from its build on, so only a
  // device lost meanwhile is news.
  std::expected<void, PlayStreamError> play_result() const {
    if (lost()) return std::unexpected(PlayStreamError::of(ErrorKind::DeviceNotAvailable));
    return {};
  }

  // Begins release: tells every thread and callback to stop, wakes them, and
  // waits up to `wait` for the threads to end and the callbacks to leave;
  // never on a thread or callback of this stream, which would wait for
  // itself. True when they all have; otherwise whatever they touch must be
  // left to them (and to the process exit).
  bool release(std::chrono::milliseconds wait = kReleaseWait);

 private:
  StreamLifetime(ErrorCallback on_error, std::unique_ptr<platform::WakeSignal> wake);
  bool settled() const;
  void left();

  ErrorCallback on_error_;
  const std::unique_ptr<platform::WakeSignal> wake_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> lost_{false};
  std::atomic<unsigned> foreign_callbacks_{0};

  std::mutex report_mutex_;  // held around every call of on_error_

  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned running_ = 0;  // threads started and not yet ended
};

}  // namespace kestravo::audio
