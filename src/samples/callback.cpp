#include "samples/callback.h"

#include <cstdint>
#include <span>
#include <thread>

#include "samples/convert.h"

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

void process(std::span<const std::int16_t> samples, const CaptureState& state, const Sinks& sinks) {
  process_buffer(samples, state.channel_count, state.selected, *state.level_clock, sinks);
}

template <class Sample>
audio::DataCallback<Sample> converting_callback(CaptureState state, Sinks sinks) {
  return [state = std::move(state), sinks](std::span<const Sample> in,
                                           const audio::InputCallbackInfo&) {
    const Inside inside(state);
    if (stopped(state)) return;
    // Not zero-filled: convert writes every element.
    const auto converted = std::make_unique_for_overwrite<std::int16_t[]>(in.size());
    const std::span<std::int16_t> out(converted.get(), in.size());
    convert(in, out);
    process(out, state, sinks);
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
  switch (format) {
    case audio::SampleFormat::F32:
      return audio::InputDataCallback(converting_callback<float>(std::move(state), sinks));
    case audio::SampleFormat::U16:
      return audio::InputDataCallback(converting_callback<std::uint16_t>(std::move(state), sinks));
    case audio::SampleFormat::I16:
      return audio::InputDataCallback(audio::DataCallback<std::int16_t>(
          [state = std::move(state), sinks](std::span<const std::int16_t> in,
                                            const audio::InputCallbackInfo&) {
            const Inside inside(state);
            if (stopped(state)) return;
            process(in, state, sinks);
          }));
    default:
      return std::nullopt;
  }
}

}  // namespace kestravo::samples
