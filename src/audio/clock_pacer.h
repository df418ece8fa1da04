// Keeps a stream's frames in step with the clock where the platform may send
// nothing for a while: a monitor whose output is idle, suspended or gone, a
// device that follows the desktop while it moves between devices. A parent
// turns frame counts into time, so a second of the capture must be a second
// of PCM.
//
// The stream asks on every tick how much silence to pass on, and on every
// block of data how much of its head to drop. A gap in the data is filled
// with silence up to the clock, once it has lasted kGap and has been seen on
// two ticks in a row: after a stall of the tool itself the first tick finds
// a long gap, but the data the platform held meanwhile comes before the
// second. Data that comes back ahead of the clock (a platform that catches
// up on what it did not send) is dropped at its head, but never more than
// the silence passed on for the gap it ends: data that was not stood in for
// is never dropped, and neither is data that runs ahead on its own (an
// output that renders ahead of time).
//
// Pure bookkeeping: no clock of its own, no thread, nothing the audio thread
// would wait for.
#pragma once

#include <chrono>
#include <cstdint>

namespace kestravo::audio {

class ClockPacer {
 public:
  using Clock = std::chrono::steady_clock;

  // How often the stream should ask for silence; the PCM then lags the clock
  // by at most about kGap plus two ticks.
  static constexpr std::chrono::milliseconds kTick{20};
  // No data for this long is a gap.
  static constexpr std::chrono::milliseconds kGap{40};
  // Data this far ahead of the clock is what a platform's ordinary latency
  // and block size allow, and is never dropped.
  static constexpr std::chrono::milliseconds kAhead{30};
  // What ends a gap and catches up arrives at once: silence passed on for
  // the gap is made up for only this long after it ended.
  static constexpr std::chrono::milliseconds kCatchUp{250};

  // `start`: the moment the stream runs, from which the clock counts.
  ClockPacer(std::uint32_t rate, Clock::time_point start)
      : rate_(rate), start_(start), last_data_(start) {}

  // `frames` of the platform's data came at `now`: how many of the first of
  // them to drop. The rest are passed on.
  std::uint64_t on_data(Clock::time_point now, std::uint64_t frames);

  // A tick at `now`: how many frames of silence to pass on now.
  std::uint64_t on_tick(Clock::time_point now);

  // The platform tells that no data can come for now (what the stream took
  // its data from went away, or it moves elsewhere): the next tick passes on
  // the silence that is due, without waiting for the gap to show. Data
  // that then comes is a gap's end, as ever.
  void gap_begins(Clock::time_point now);

  // Frames passed on so far, data and silence.
  std::uint64_t passed() const { return passed_; }

 private:
  std::uint64_t due(Clock::time_point now) const;
  std::uint64_t frames_in(Clock::duration span) const;

  std::uint32_t rate_;
  Clock::time_point start_;
  Clock::time_point last_data_;
  std::uint64_t passed_ = 0;
  bool gap_seen_ = false;  // the last tick found a gap
  Clock::time_point gap_seen_at_{};
  bool filling_ = false;  // silence was passed on since the last data
  // Silence passed on in the last gap, not yet made up for, and when the
  // data that ended that gap came.
  std::uint64_t credit_ = 0;
  Clock::time_point gap_ended_{};
};

}  // namespace kestravo::audio
