// A call into a device that may never return (a plugin waiting for a writer
// on a FIFO, a sound server that was stopped), made on a thread of its own so
// that the caller can stop waiting for it. A call given up on keeps its
// thread: nothing can interrupt a thread blocked inside a library, so it is
// left to return whenever it can, or to the process exit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace kestravo::audio {

namespace detail {
// Shared by the caller and the call's thread, on the heap: the thread may
// outlive the caller's stack, the host and even main.
struct CallStateBase {
  std::mutex mutex;
  std::condition_variable returned_changed;
  bool returned = false;
  bool abandoned = false;
};
template <class T>
struct CallState : CallStateBase {
  std::optional<T> value;
};
}  // namespace detail

// Tells whether a call has returned, for those who must not start another
// call on the same device while one is still stuck in it.
class CallWatch {
 public:
  explicit CallWatch(std::shared_ptr<detail::CallStateBase> state) : state_(std::move(state)) {}
  bool returned() const {
    std::lock_guard lock(state_->mutex);
    return state_->returned;
  }

 private:
  std::shared_ptr<detail::CallStateBase> state_;
};

template <class T>
class BoundedCall {
 public:
  // Starts `work` (which returns a T) on a thread of its own. The error is
  // why no thread could be started.
  template <class Work>
  static std::expected<BoundedCall, std::string> start(Work work) {
    auto state = std::make_shared<detail::CallState<T>>();
    try {
      std::thread([state, work = std::move(work)]() mutable {
        T value = work();
        std::unique_lock lock(state->mutex);
        state->returned = true;
        if (!state->abandoned) state->value.emplace(std::move(value));
        lock.unlock();
        state->returned_changed.notify_all();
        // A result nobody waits for any more (a PCM that opened too late)
        // is released here, on this thread.
      }).detach();
    } catch (const std::system_error& e) {
      return std::unexpected(std::string(e.what()));
    }
    return BoundedCall(std::move(state));
  }

  BoundedCall(BoundedCall&&) noexcept = default;
  BoundedCall& operator=(BoundedCall&& other) noexcept {
    if (this != &other) {
      abandon();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  BoundedCall(const BoundedCall&) = delete;
  BoundedCall& operator=(const BoundedCall&) = delete;
  ~BoundedCall() { abandon(); }

  // Waits until the work has returned or `deadline` has passed; whether it
  // has returned.
  bool wait_until(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock lock(state_->mutex);
    return state_->returned_changed.wait_until(lock, deadline, [&] { return state_->returned; });
  }

  // The result of a call that has returned, once; none otherwise.
  std::optional<T> take() {
    std::lock_guard lock(state_->mutex);
    return std::exchange(state_->value, std::nullopt);
  }

  // Gives up on the result: what the work returns from now on is released on
  // its own thread.
  void abandon() {
    if (!state_) return;
    std::optional<T> unused;
    std::lock_guard lock(state_->mutex);
    state_->abandoned = true;
    unused = std::exchange(state_->value, std::nullopt);
  }

  CallWatch watch() const { return CallWatch(state_); }

 private:
  explicit BoundedCall(std::shared_ptr<detail::CallState<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<detail::CallState<T>> state_;
};

}  // namespace kestravo::audio
