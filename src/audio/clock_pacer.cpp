#include "audio/clock_pacer.h"

#include <algorithm>

namespace kestravo::audio {

namespace {

constexpr std::uint64_t kNanos = 1'000'000'000;

}  // namespace

std::uint64_t ClockPacer::frames_in(Clock::duration span) const {
  if (span <= Clock::duration::zero()) return 0;
  // In whole seconds and the rest, so that days at 384 kHz do not overflow.
  const auto ns = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(span).count());
  return ns / kNanos * rate_ + ns % kNanos * rate_ / kNanos;
}

std::uint64_t ClockPacer::due(Clock::time_point now) const { return frames_in(now - start_); }

std::uint64_t ClockPacer::on_data(Clock::time_point now, std::uint64_t frames) {
  last_data_ = now;
  gap_seen_ = false;
  if (filling_) {
    filling_ = false;
    gap_ended_ = now;
  }
  if (credit_ > 0 && now - gap_ended_ > kCatchUp) credit_ = 0;
  std::uint64_t drop = 0;
  const std::uint64_t limit = due(now) + frames_in(kAhead);
  if (credit_ > 0 && passed_ + frames > limit) {
    drop = std::min({frames, credit_, passed_ + frames - limit});
    credit_ -= drop;
  }
  passed_ += frames - drop;
  return drop;
}

std::uint64_t ClockPacer::on_tick(Clock::time_point now) {
  if (now - last_data_ < kGap) {
    gap_seen_ = false;
    return 0;
  }
  // The first tick of a gap only notes it: the data of a stall may still be
  // on its way.
  if (!gap_seen_) {
    gap_seen_ = true;
    gap_seen_at_ = now;
    return 0;
  }
  if (now - gap_seen_at_ < kTick / 2) return 0;
  const std::uint64_t target = due(now);
  if (target <= passed_) return 0;
  const std::uint64_t fill = target - passed_;
  passed_ = target;
  credit_ += fill;
  filling_ = true;
  return fill;
}

void ClockPacer::gap_begins(Clock::time_point now) {
  last_data_ = std::min(last_data_, now - kGap);
  gap_seen_ = true;
  gap_seen_at_ = now - kTick;
}

}  // namespace kestravo::audio
