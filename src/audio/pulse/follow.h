// Keeps a record stream on whatever the desktop uses now: its default input,
// or the monitor of its default output.
//
// What the servers do on their own is not enough. Both move a record stream
// that named no source to the new default source. Neither moves a stream on
// a monitor when the default output changes, and one whose source goes away
// is put on the default *source*, a microphone (PipeWire says nothing of
// it). So the follower listens to the server's change events, works out
// which source the stream belongs on, and moves it there; meanwhile it marks
// the stream astray, and the stream passes silence on instead. A move keeps
// the stream, its format and its frames: the capture sees only a short gap.
#pragma once

#include <atomic>
#include <memory>

#include "audio/pulse/connection.h"
#include "audio/pulse/sources.h"
#include "audio/stream_lifetime.h"

namespace kestravo::audio::pulse {

class Follower {
 public:
  // Starts following for `stream` (connected without PA_STREAM_DONT_MOVE),
  // which it does not own. Call with the main loop locked. `astray` is set
  // while the stream is on a source that is not the one it follows (a
  // monitor's stream put on a microphone by the server, or no default
  // output at all): its data must not be passed on as it is. None when the
  // server refuses the subscription.
  static std::unique_ptr<Follower> start(const Connection& connection, pa_stream* stream,
                                         Follow follow, std::shared_ptr<std::atomic<bool>> astray);

  // For `stream` on a source of its own (connected with
  // PA_STREAM_DONT_MOVE): reports the loss to `lifetime` when that source
  // goes. PulseAudio kills such a stream, which says as much; PipeWire 1.x
  // leaves it connected to nothing, and no data comes again. Call with the
  // main loop locked; none when the server refuses the subscription.
  static std::unique_ptr<Follower> watch(const Connection& connection, pa_stream* stream,
                                         std::shared_ptr<StreamLifetime> lifetime);

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
