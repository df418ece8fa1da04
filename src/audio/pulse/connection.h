// One connection to a sound server: libpulse's main loop on a thread of its
// own, and its context. Every wait on the server ends by a deadline of ours, because a
// server that is stopped or hung accepts the connection and then never
// answers; libpulse itself would wait 30 s.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "audio/deadline.h"
#include "audio/pulse/libpulse.h"
#include "audio/pulse/sources.h"

// Set by the build (src/audio/pulse/CMakeLists.txt); the default is for
// tools that read the sources without it.
#ifndef KESTRAVO_PULSE_FRAGMENT_MS
#define KESTRAVO_PULSE_FRAGMENT_MS 20
#endif

namespace kestravo::audio::pulse {

struct Tuning {
  // The server's share of the operation's budget: connecting, its name and
  // its sources, in all. A server that does not answer (or answers too
  // slowly) costs this much, then ALSA takes over with the rest.
  std::chrono::milliseconds setup{1000};
  // What a record stream asks the server to deliver at a time: 20 ms costs
  // the servers far less than 10 ms and ourselves no more than parec (see
  // bench/pulse_capture.sh), and keeps the levels records 50 ms apart.
  std::chrono::milliseconds fragment{KESTRAVO_PULSE_FRAGMENT_MS};
  // On PipeWire a session manager that dies stops the data without a word:
  // this long without data, once data has come, while the server answers and
  // the program could receive, counts as the device lost (StallWatch).
  std::chrono::milliseconds silence_limit{3000};
};

// What the listing and the capture need to know of the server, read once.
struct ServerSnapshot {
  std::string server_name;
  // In listing order, with their listed names; on PulseAudio itself, the
  // applications that play now among them.
  std::vector<Source> sources;
};

// Whether the server is PipeWire's (pipewire-pulse), by its name.
bool is_pipewire(std::string_view server_name);

// Reads what a sink-input info callback gets: the stream, its sink, whether
// a client plays it, and its application.
SinkInput sink_input_of(const Libpulse& pa, const pa_sink_input_info& info);

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Connects without ever starting a server; none when no server answers
  // by `deadline`.
  static std::shared_ptr<Connection> open(const Libpulse& pa, const Tuning& tuning,
                                          Deadline deadline);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The server's name and its sources; none when it has not answered by
  // `deadline`.
  std::optional<ServerSnapshot> snapshot(Deadline deadline);

  // Leaves the main loop running for the rest of the process, with `keep`
  // (what its callbacks use): a stream whose callback is stuck on the loop
  // must not wait for it. The connection is then never destroyed.
  void abandon(std::shared_ptr<void> keep) {
    kept_.push_back(std::move(keep));
    self_ = shared_from_this();
  }

  const Libpulse& pa() const { return pa_; }
  const Tuning& tuning() const { return tuning_; }
  pa_context* context() const { return context_; }
  // libpulse's objects may be touched only with the main loop locked; its
  // callbacks run with it held, and may take it again.
  class Lock {
   public:
    explicit Lock(const Connection& c) : c_(c) { c_.loop_lock_.lock(); }
    ~Lock() { c_.loop_lock_.unlock(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    const Connection& c_;
  };

  // `at_turn_end(userdata)` runs on the loop thread, with the loop locked,
  // after each turn of the loop has dispatched all that arrived and before
  // the loop waits again. Both with the loop locked, and never from within
  // a turn-end callback: the loop walks the list while it calls them.
  using TurnEnd = void (*)(void* userdata);
  void add_turn_end(TurnEnd at_turn_end, void* userdata);
  void remove_turn_end(void* userdata);

  // With the loop locked: from now on the loop ends a turn at least every
  // `interval`, whether or not anything arrived, so that a stream can keep
  // time at its turn ends.
  void turn_at_least_every(std::chrono::milliseconds interval);

 private:
  Connection(const Libpulse& pa, const Tuning& tuning) : pa_(pa), tuning_(tuning) {}
  bool connect(Deadline deadline);
  bool start_loop();
  void run_loop();
  static int poll_unlocked(struct pollfd* fds, unsigned long count, int timeout, void* self);

  static void on_context_state(pa_context* context, void* self);
  static void on_server_info(pa_context* context, const pa_server_info* info, void* self);
  static void on_source_info(pa_context* context, const pa_source_info* info, int eol, void* self);
  static void on_sink_input_info(pa_context* context, const pa_sink_input_info* info, int eol,
                                 void* self);

  const Libpulse& pa_;
  const Tuning tuning_;
  pa_mainloop* loop_ = nullptr;
  // Held by the loop thread except while it waits for the server.
  mutable std::recursive_mutex loop_lock_;
  std::thread loop_thread_;
  std::vector<std::pair<TurnEnd, void*>> turn_ends_;
  int longest_wait_ms_ = -1;  // for the loop's poll; -1: as long as it likes
  pa_context* context_ = nullptr;
  std::shared_ptr<Connection> self_;
  std::vector<std::shared_ptr<void>> kept_;

  // Written by the callbacks on the main loop's thread, read by the waiting
  // thread. Locked after the main loop's lock, never before it.
  std::mutex mutex_;
  std::condition_variable changed_;
  pa_context_state_t state_ = PA_CONTEXT_UNCONNECTED;
  bool have_server_info_ = false;
  std::string server_name_, default_source_, default_sink_;
  bool sources_done_ = false;
  bool sources_failed_ = false;
  std::vector<Source> sources_;
  bool sink_inputs_done_ = false;
  std::vector<SinkInput> sink_inputs_;
};

}  // namespace kestravo::audio::pulse
