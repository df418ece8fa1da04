// When a stream that delivers nothing counts as a lost device. Some
// platforms lose a device without a word (on PipeWire, a session manager
// that dies just stops the data), so only a watch on arriving data can tell;
// but a stall is no loss. The device counts as lost only when the stream has
// delivered nothing for `limit` while the tool was able to receive and the
// server answered. Time the tool spent held up in its own output, or stopped
// (SIGSTOP, a frozen cgroup), never counts, nor does time in which the server
// did not answer: a hung server is lost only once its connection dies. Any
// stall starts the count afresh, since what a server holds back comes after
// it.
//
// Pure bookkeeping: a watchdog feeds it one look every tick and asks the
// server whatever it is told to.
#pragma once

#include <chrono>
#include <optional>

namespace kestravo::audio {

class StallWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // How often the watchdog looks.
  static constexpr std::chrono::milliseconds kTick{250};
  // A look this late means the process did not run meanwhile.
  static constexpr std::chrono::milliseconds kLateLook{1000};
  // A server that takes longer than this to answer does not answer.
  static constexpr std::chrono::milliseconds kAnswerWait{500};

  StallWatch(std::chrono::milliseconds limit, Clock::time_point now)
      : limit_(limit), last_look_(now) {}

  // What the watchdog saw since its last look.
  struct Look {
    Clock::time_point now;
    bool data = false;      // the stream delivered data
    bool held_up = false;   // a callback is held up in the tool's own output
    bool answered = false;  // the server answered the last question
  };

  enum class Verdict {
    Fine,
    Ask,   // ask the server something, and tell whether it answered
    Lost,  // the device is lost
  };

  Verdict look(const Look& look);

 private:
  void start_afresh();

  std::chrono::milliseconds limit_;
  Clock::time_point last_look_;
  Clock::duration silent_{};
  // The question not yet answered, and whether it was asked in this silence
  // once the limit was reached (only its answer makes the silence a loss).
  std::optional<Clock::time_point> asked_;
  bool asked_at_limit_ = false;
};

}  // namespace kestravo::audio
