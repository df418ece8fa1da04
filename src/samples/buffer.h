// What happens to every buffer the device delivers: conversion to signed
// 16-bit, channel selection, the PCM block and the level metering.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/output.h"
#include "protocol/json_line.h"

namespace kestravo::samples {

// Levels records are at least this far apart.
inline constexpr std::chrono::nanoseconds kLevelsInterval = std::chrono::milliseconds(50);

// The moment of the last levels record, and which callback is making one.
// A callback claims the record before it tests the elapsed time and holds
// the claim until the record is written, so a record is never computed
// twice for one interval; a callback that finds it claimed makes none. No
// lock: a buffer with no record due costs two atomic operations.
struct LevelClock {
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  // The first value is the moment of creation, so the time spent building
  // and starting the stream counts toward the first interval.
  explicit LevelClock(Now now_function = [] { return Clock::now(); })
      : now(std::move(now_function)), last(now()) {}

  Now now;
  std::atomic<Clock::time_point> last;
  std::atomic_flag claimed;
};

// Where one buffer's output goes: the PCM block and the status lines.
struct Sinks {
  platform::Output& pcm;
  platform::Output& status;
};

// The memory a data callback keeps from one buffer to the next, so that a
// buffer costs no allocation once one as large has been seen. One per
// callback: it is not shared between threads.
struct Workspace {
  std::vector<std::uint16_t> block;  // the PCM block being built
  // Per selected channel, while a levels record is measured.
  std::vector<std::uint64_t> exact_sums;
  std::vector<double> rounded_sums;
  std::vector<std::uint32_t> peaks;
  // The levels record and its line, kept so that a record allocates nothing
  // once the first has been made.
  protocol::LevelsRecord levels;
  std::string line;
};

// Writes the selected channels of the whole frames of `samples` (interleaved
// by frame, `channel_count` samples per frame), converted to signed 16-bit,
// to sinks.pcm as one block of little-endian samples, then, when
// kLevelsInterval has passed on `clock`, a levels record to sinks.status. A
// levels record that is due before the buffer is read is measured in the
// same pass that converts and selects. A buffer shorter than one frame, or a
// channel count of 0, produces nothing and leaves the clock alone. The
// levels record is tried (platform::Output::try_write): one that cannot be written at
// once is skipped whole. Write failures are dropped.
void process_buffer(std::span<const std::int16_t> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks,
                    Workspace& workspace);
void process_buffer(std::span<const std::uint16_t> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks,
                    Workspace& workspace);
void process_buffer(std::span<const float> samples, std::size_t channel_count,
                    std::span<const std::size_t> selected, LevelClock& clock, const Sinks& sinks,
                    Workspace& workspace);

// Whether the meter may use the widest vectors the processor has (AVX2 on
// x86-64 Linux) or keeps to those every processor of the target has. On by
// default; tests turn it off to check the narrower code too. Not to be
// changed while a stream runs.
void allow_wide_meter(bool allowed);

}  // namespace kestravo::samples
