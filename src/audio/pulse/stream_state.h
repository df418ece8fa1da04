// What a record stream's callbacks on the loop thread share with its
// handle and its watchdog, and how a turn's data (or the clock's silence)
// is handed to the data callback: one machinery for a stream on one source
// and for an application's streams mixed into one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "audio/audio.h"
#include "audio/callback_formats.h"
#include "audio/clock_pacer.h"
#include "audio/pulse/libpulse.h"
#include "audio/stream_lifetime.h"

namespace kestravo::audio::pulse {

using Clock = std::chrono::steady_clock;

// Everything the loop thread's callbacks and the watchdog touch. On the heap
// and shared, so a loop thread left stuck in a callback at release (or still
// running at exit) touches nothing freed.
struct StreamState {
  StreamState(const Libpulse& pa, InputDataCallback callback, const StreamConfig& config,
              std::size_t sample_bytes)
      : pa(pa),
        callback(std::move(callback)),
        channels(config.channels),
        rate(config.sample_rate),
        sample_bytes(sample_bytes),
        frame_bytes(sample_bytes * config.channels) {}

  // Hands `frames` whole frames at `bytes` (the server's little-endian
  // samples, aligned for their type) to the data callback; `from_server`
  // unless they are silence of our own.
  void deliver(const void* bytes, std::size_t frames, bool from_server) {
    if (from_server) deliveries.fetch_add(1, std::memory_order_relaxed);
    deliver_frames(callback, bytes, frames, channels, rate);
  }

  const Libpulse& pa;
  const InputDataCallback callback;
  const std::size_t channels;
  const std::uint32_t rate;
  const std::size_t sample_bytes;
  const std::size_t frame_bytes;
  std::shared_ptr<StreamLifetime> lifetime;
  std::chrono::milliseconds silence_limit{};

  // The loop thread's alone: what the server sent this turn of the loop,
  // and any piece of a frame left from the last.
  std::vector<char> pending;
  // A block of whole frames at least this long (a fragment) that comes
  // while nothing is pending is handed over where it lies, without a copy;
  // 0 for a stream that keeps time, whose pacer sees each turn's data whole.
  std::size_t in_place_bytes = 0;
  // For a stream that keeps time (a monitor, a following device): its
  // pacer, from the moment the stream runs, and silence to pass on from.
  bool paced = false;
  std::optional<ClockPacer> pacer;
  std::vector<char> silence;

  // For the watchdog: buffers delivered, and answers of the server to its
  // questions.
  std::atomic<std::uint64_t> deliveries{0};
  std::atomic<std::uint64_t> answers{0};
  std::atomic<bool> astray{false};  // see Follower::start

  // The connect handshake.
  std::mutex mutex;
  std::condition_variable changed;
  bool ready = false;
  bool failed = false;  // before ready: the stream never ran
  int error = 0;        // libpulse's error code when it failed
};

// Hands what the turn of the loop read (`pending`) to the data callback, and
// for a stream that keeps time, the silence the clock asks for. Called at
// the end of each turn, on the loop thread; `userdata` is the StreamState.
void at_turn_end(void* userdata);

}  // namespace kestravo::audio::pulse
