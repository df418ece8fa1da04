#include "audio/stream_lifetime.h"

#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace kestravo::audio {

namespace {

// The lifetime whose thread or callback the current thread is running, so
// that a release from there does not wait for itself.
thread_local const StreamLifetime* running_for = nullptr;

}  // namespace

std::expected<std::shared_ptr<StreamLifetime>, BuildStreamError> StreamLifetime::create(
    ErrorCallback on_error) {
  auto signal = platform::WakeSignal::create();
  if (!signal) {
    return std::unexpected(
        BuildStreamError::backend("cannot make the stream's wake-up: " + signal.error()));
  }
  return std::shared_ptr<StreamLifetime>(
      new StreamLifetime(std::move(on_error), std::move(*signal)));
}

StreamLifetime::StreamLifetime(ErrorCallback on_error, std::unique_ptr<platform::WakeSignal> wake)
    : on_error_(std::move(on_error)), wake_(std::move(wake)) {}

StreamLifetime::~StreamLifetime() = default;

std::expected<void, std::string> start_detached_thread(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
  } catch (const std::system_error& e) {
    return std::unexpected(std::string(e.what()));
  }
  return {};
}

std::expected<void, BuildStreamError> StreamLifetime::start_thread(std::string_view what,
                                                                   std::function<void()> body) {
  {
    std::lock_guard lock(mutex_);
    ++running_;
  }
  // Never joined: a thread stuck in a callback must not hold up release,
  // and one that is done has nothing left to do but return.
  auto started = start_detached_thread([self = shared_from_this(), body = std::move(body)] {
    running_for = self.get();
    body();
    running_for = nullptr;
    std::lock_guard lock(self->mutex_);
    --self->running_;
    self->changed_.notify_all();
  });
  if (!started) {
    std::lock_guard lock(mutex_);
    --running_;
    return std::unexpected(BuildStreamError::backend("cannot start the " + std::string(what) +
                                                     " thread: " + started.error()));
  }
  return {};
}

StreamLifetime::ForeignCallback::ForeignCallback(StreamLifetime& lifetime)
    : lifetime_(lifetime), outer_(std::exchange(running_for, &lifetime)) {
  lifetime_.foreign_callbacks_.fetch_add(1, std::memory_order_seq_cst);
}

StreamLifetime::ForeignCallback::~ForeignCallback() {
  running_for = outer_;
  lifetime_.left();
}

void StreamLifetime::left() {
  // Either release sees the count fall, or this sees that release began and
  // wakes it.
  if (foreign_callbacks_.fetch_sub(1, std::memory_order_seq_cst) == 1 && stopping()) {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
  }
}

bool StreamLifetime::wait_until(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(lock, deadline, [this] { return stopping(); });
}

void StreamLifetime::report(const StreamError& error) {
  std::lock_guard lock(report_mutex_);
  if (!stopping() && on_error_) on_error_(error);
}

void StreamLifetime::report_lost(std::uint64_t notifications) {
  if (lost_.exchange(true, std::memory_order_seq_cst)) return;
  for (std::uint64_t i = 0; i < notifications && !stopping(); ++i) {
    report(StreamError::of(ErrorKind::DeviceNotAvailable));
  }
}

bool StreamLifetime::settled() const {
  return running_ == 0 && foreign_callbacks_.load(std::memory_order_seq_cst) == 0;
}

bool StreamLifetime::release(std::chrono::milliseconds wait) {
  {
    std::lock_guard lock(mutex_);
    stopping_.store(true, std::memory_order_seq_cst);
  }
  changed_.notify_all();
  wake_->set();
  if (running_for == this) return false;
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, wait, [this] { return settled(); });
}

}  // namespace kestravo::audio
