// The data callbacks: one per sample format a stream can be built with.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "audio/audio.h"
#include "samples/buffer.h"

namespace kestravo::samples {

// What a data callback is made with. The stop flag is shared with the main
// thread, which sets it once when the capture ends; everything else belongs
// to the callback.
struct CallbackSetup {
  std::vector<std::size_t> selected;  // below channel_count, command-line order
  std::shared_ptr<std::atomic<bool>> stop;
  std::shared_ptr<LevelClock> level_clock;
  std::size_t channel_count = 0;  // samples per frame in every delivered buffer
  // Callbacks between their stop-flag test and the end of their buffer. The
  // main thread sets the stop flag, then waits (briefly) for this to reach 0,
  // so that the PCM ends on a whole block. May be null.
  std::shared_ptr<std::atomic<unsigned>> active;
};

// Sets the stop flag, then waits until no callback of the stream is
// inside a buffer, or until `deadline` (a callback stuck on a full standard
// output must not hold up the exit). False when one is still inside.
bool stop_and_wait(const std::shared_ptr<std::atomic<bool>>& stop,
                   const std::shared_ptr<std::atomic<unsigned>>& active,
                   std::chrono::steady_clock::time_point deadline);

// The data callback for a stream of `format`: it hands every delivered
// buffer to process_buffer, which converts it to signed 16-bit on the way,
// until the stop flag is set. None for a format no callback takes
// (audio::decodable).
std::optional<audio::InputDataCallback> make_data_callback(audio::SampleFormat format,
                                                           CallbackSetup setup, Sinks sinks);

}  // namespace kestravo::samples
