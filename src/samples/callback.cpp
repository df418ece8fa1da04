#include "samples/callback.h"

#include <cstdint>
#include <span>
#include <thread>

#include "audio/callback_formats.h"

namespace kestravo::samples {

namespace {

// Marks a callback as inside its buffer for its lifetime. Entering comes
// before the stop-flag test and both are sequentially consistent, matching
// stop_and_wait: either the main thread sees the callback inside, or the
// callback sees the flag.
class Inside {
 public:
  explicit Inside(const CaptureState& state) : active_(state.active.get()) {
    if (active_ != nullptr) active_->fetch_add(1, std::memory_order_seq_cst);
  }
  ~Inside() {
    if (active_ != nullptr) active_->fetch_sub(1, std::memory_order_release);
  }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;

 private:
  std::atomic<unsigned>* active_;
};

bool stopped(const CaptureState& state) { return state.stop->load(std::memory_order_seq_cst); }

// Converts, selects and meters in one pass, straight from the delivered
// buffer, into a block the callback keeps from buffer to buffer.
template <class Sample>
audio::DataCallback<Sample> data_callback(CaptureState state, Sinks sinks) {
  return [state = std::move(state), sinks, workspace = Workspace()](
             std::span<const Sample> in, const audio::InputCallbackInfo&) mutable {
    const Inside inside(state);
    if (stopped(state)) return;
    process_buffer(in, state.channel_count, state.selected, *state.level_clock, sinks, workspace);
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
                                                           CaptureState state, Sinks sinks) {
  return audio::with_callback_sample(format, [&](auto element) {
    using Sample = typename decltype(element)::type;
    return audio::InputDataCallback(data_callback<Sample>(std::move(state), sinks));
  });
}

}  // namespace kestravo::samples
