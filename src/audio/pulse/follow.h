// Keeps a record stream on whatever the desktop uses now: its default input,
// or the monitor of its default output.
//
// What the servers do on their own is not enough. PulseAudio moves a record
// stream that named no source when the default source changes, but only
// until the stream has been moved once by anyone; a stream on a monitor
// stays on it when the default output changes, and one whose source goes
// away is moved to the default *source*, a microphone. So the follower
// listens to the server's change events, works out which source the stream
// should be on, and moves it there. A move keeps the stream, its format and
// its frames: the capture sees only a short gap.
#pragma once

#include <memory>

#include "audio/pulse/connection.h"
#include "audio/pulse/sources.h"

namespace kestravo::audio::pulse {

class Follower {
 public:
  // Starts following for `stream` (connected without PA_STREAM_DONT_MOVE),
  // which it does not own. Call with the main loop locked. None when the
  // server refuses the subscription.
  static std::unique_ptr<Follower> start(const Connection& connection, pa_stream* stream,
                                         Follow follow);

  // With the main loop locked, before the stream goes: afterwards no
  // callback of the follower runs.
  void stop();

  // A follower that was not stopped (its loop was left stuck in a callback)
  // keeps what its callbacks use for the life of the process.
  ~Follower();
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  struct State;

 private:
  explicit Follower(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace kestravo::audio::pulse
