// The time one listing or one capture may spend waiting for devices and
// sound servers. It is made once, when the operation starts, and every open
// and query of the operation waits until it at most: waits do not add up,
// however many devices there are and however slowly each answers.
#pragma once

#include <algorithm>
#include <chrono>

namespace kestravo::audio {

// How long a listing or a capture waits, in all, for devices and servers to
// answer. The text of the DeviceNotAnswering case names it. What the tool
// does besides waiting takes well under half a second more, so a listing
// answers, and a capture is ready or has failed, within 2.5 s of starting.
inline constexpr std::chrono::seconds kAnswerBudget{2};

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(Clock::time_point at) : at_(at) {}
  static Deadline after(Clock::duration wait) { return Deadline(Clock::now() + wait); }

  Clock::time_point at() const { return at_; }
  bool passed() const { return Clock::now() >= at_; }

  // A step's own share of the budget: `wait` from now, but never past this
  // deadline.
  Deadline within(Clock::duration wait) const {
    return Deadline(std::min(at_, Clock::now() + wait));
  }

 private:
  Clock::time_point at_;
};

}  // namespace kestravo::audio
