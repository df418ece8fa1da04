#include "samples/callback.h"

#include <cstdint>
#include <span>
#include <thread>

#include "audio/callback_formats.h"

namespace kestravo::samples {

namespace {

// Counts a callback in CallbackSetup::active while it is inside its buffer
// (for the guard's lifetime). Counting comes before the stop-flag test and
// both are sequentially consistent, matching stop_and_wait: either the main
// thread sees the callback counted, or the callback sees the flag.
class CountedAsActive {
 public:
  explicit CountedAsActive(const CallbackSetup& setup) : active_(setup.active.get()) {
    if (active_ != nullptr) active_->fetch_add(1, std::memory_order_seq_cst);
  }
  ~CountedAsActive() {
    if (active_ != nullptr) active_->fetch_sub(1, std::memory_order_release);
  }
  CountedAsActive(const CountedAsActive&) = delete;
  CountedAsActive& operator=(const CountedAsActive&) = delete;

 private:
  std::atomic<unsigned>* active_;
};

bool stopped(const CallbackSetup& setup) { return setup.stop->load(std::memory_order_seq_cst); }

// Converts, selects and meters in one pass, straight from the delivered
// buffer, into a block the callback keeps from buffer to buffer.
template <class Sample>
audio::DataCallback<Sample> data_callback(CallbackSetup setup, Sinks sinks) {
  return [setup = std::move(setup), sinks, workspace = Workspace()](
             std::span<const Sample> in, const audio::InputCallbackInfo&) mutable {
    const CountedAsActive counted(setup);
    if (stopped(setup)) return;
    process_buffer(in, setup.channel_count, setup.selected, *setup.level_clock, sinks, workspace);
  };
}

}  // namespace

bool stop_and_wait(const std::shared_ptr<std::atomic<bool>>& stop,
                   const std::shared_ptr<std::atomic<unsigned>>& active,
                   std::chrono::steady_clock::time_point deadline) {
  stop->store(true, std::memory_order_seq_cst);
  if (!active) return true;
  while (active->load(std::memory_order_acquire) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::optional<audio::InputDataCallback> make_data_callback(audio::SampleFormat format,
                                                           CallbackSetup setup, Sinks sinks) {
  return audio::with_callback_sample(format, [&](auto element) {
    using Sample = typename decltype(element)::type;
    return audio::InputDataCallback(data_callback<Sample>(std::move(setup), sinks));
  });
}

}  // namespace kestravo::samples
