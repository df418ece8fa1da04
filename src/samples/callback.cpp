#include "samples/callback.h"

#include <cstdint>
#include <span>

#include "samples/convert.h"

namespace kestravo::samples {

namespace {

// Relaxed is enough: the flag guards no other data, and a callback that has
// just passed the test finishing its buffer is fine.
bool stopped(const CaptureState& state) { return state.stop->load(std::memory_order_relaxed); }

void process(std::span<const std::int16_t> samples, const CaptureState& state, const Sinks& sinks) {
  process_buffer(samples, state.channel_count, state.selected, *state.level_clock, sinks);
}

template <class Sample>
audio::DataCallback<Sample> converting_callback(CaptureState state, Sinks sinks) {
  return [state = std::move(state), sinks](std::span<const Sample> in,
                                           const audio::InputCallbackInfo&) {
    if (stopped(state)) return;
    // Not zero-filled: convert writes every element.
    const auto converted = std::make_unique_for_overwrite<std::int16_t[]>(in.size());
    const std::span<std::int16_t> out(converted.get(), in.size());
    convert(in, out);
    process(out, state, sinks);
  };
}

}  // namespace

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
            if (stopped(state)) return;
            process(in, state, sinks);
          }));
    default:
      return std::nullopt;
  }
}

}  // namespace kestravo::samples
