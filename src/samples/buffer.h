// What happens to every buffer the device delivers once it is in signed
// 16-bit form: channel selection, the PCM block and the level metering.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>

#include "status/output.h"
#include "status/status.h"

namespace kestravo::samples {

// Levels records are at least this far apart.
inline constexpr std::chrono::nanoseconds kLevelsInterval = std::chrono::milliseconds(50);

// The moment of the last levels record. Only the data callback locks it;
// the lock is held from the elapsed-time test until the record is written,
// so a record is never computed twice for one interval.
struct LevelClock {
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  // The first value is the moment of creation, so the time spent building
  // and starting the stream counts toward the first interval.
  explicit LevelClock(Now now_function = [] { return Clock::now(); })
      : now(std::move(now_function)), last(now()) {}

  Now now;
  std::mutex mutex;
  Clock::time_point last;
};

// Where one buffer's output goes: the PCM block and the status lines.
struct Sinks {
  Output& pcm;
  Output& status;
};

// Writes the selected channels of the whole frames of `samples` (interleaved
// by frame, `channel_count` samples per frame) to sinks.pcm as one block of
// little-endian signed 16-bit samples, then, when kLevelsInterval has passed
// on `clock`, a levels record to sinks.status. A buffer shorter than one
// frame, or a channel count of 0, produces nothing and leaves the clock
// alone. The levels record is offered (Output::offer): one that cannot be
// written at once is skipped whole. Write failures are dropped.
void process_buffer(std::span<const std::int16_t> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks);

// The rms and peak of each selected channel's column over the whole frames
// of `samples`, on a scale where magnitude 32768 is 1.0.
status::LevelsRecord compute_levels(std::span<const std::int16_t> samples,
                                    std::size_t channel_count,
                                    std::span<const std::size_t> selected);

}  // namespace kestravo::samples
