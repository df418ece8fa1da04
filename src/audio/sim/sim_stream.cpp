#include "audio/sim/sim_stream.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "audio/sim/signal.h"
#include "audio/stream_lifetime.h"

namespace kestravo::audio::sim {

namespace {

using Clock = std::chrono::steady_clock;

// What the Stream handle shares with the stream's threads. They hold it by
// shared_ptr, so it outlives the handle and never lives in static storage:
// the process may exit while they still run.
struct SharedStreamState {
  StreamScript script;
  std::shared_ptr<StreamLifetime> lifetime;
};

// What the stream thread alone uses: the callback, the buffers it is given
// and the pace.
template <class Sample>
struct StreamThreadState {
  std::shared_ptr<SharedStreamState> shared;
  DataCallback<Sample> on_data;
  std::vector<std::vector<Sample>> explicit_buffers;
  SignalGenerator signal;
  // cppcheck-suppress unusedStructMember ; run() fills it, through a pointer
  std::vector<Sample> generated;
  double interval_ns = 0;
};

template <class Sample>
void run(const std::shared_ptr<StreamThreadState<Sample>>& state) {
  const StreamScript& script = state->shared->script;
  StreamLifetime& lifetime = *state->shared->lifetime;
  auto errors = script.stream_errors;
  std::ranges::stable_sort(errors, {}, &StreamErrorScript::after_buffers);
  auto next_error = errors.begin();

  // Each buffer is due at a fixed offset from the start, so time spent in
  // the callback or oversleeping never accumulates.
  const auto began = Clock::now();
  for (std::uint64_t n = 0;; ++n) {
    for (; next_error != errors.end() && next_error->after_buffers <= n; ++next_error) {
      if (lifetime.stopping()) break;
      lifetime.report(StreamError::backend(next_error->text));
    }
    if (script.disconnect && script.disconnect->after_buffers == n) {
      // The platform reports a lost device from its own notification thread.
      const auto notifications = script.disconnect->notifications;
      auto notifier = lifetime.start_thread(
          "notification", [&lifetime, notifications] { lifetime.report_lost(notifications); });
      if (!notifier) lifetime.report_lost(notifications);
      break;
    }
    if (script.max_buffers && n >= *script.max_buffers) {
      while (!lifetime.wait_until(Clock::now() + std::chrono::hours(1))) {
      }
      break;
    }
    // Capped so that an absurd interval cannot overflow the clock.
    const double offset_ns = std::min(static_cast<double>(n) * state->interval_ns, 1e18);
    const auto due = began + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double, std::nano>(offset_ns));
    if (lifetime.wait_until(due)) break;

    InputCallbackInfo info{Clock::now(), due};
    std::span<const Sample> buffer;
    if (n < state->explicit_buffers.size()) {
      buffer = state->explicit_buffers[n];
    } else {
      state->signal.fill(std::span<Sample>(state->generated));
      buffer = state->generated;
    }
    if (state->on_data) state->on_data(buffer, info);
  }
}

class SimStream final : public Stream {
 public:
  SimStream(std::shared_ptr<SharedStreamState> shared, std::optional<ScriptedError> play_error)
      : shared_(std::move(shared)), play_error_(std::move(play_error)) {}

  // A stream that runs after release, as the real platform's do, is
  // silenced by the program's stop flag alone.
  ~SimStream() override {
    if (!shared_->script.runs_after_release) shared_->lifetime->release();
  }

  std::expected<void, PlayStreamError> play() override {
    if (play_error_) return std::unexpected(play_error_->to<PlayStreamError>());
    return {};
  }

 private:
  std::shared_ptr<SharedStreamState> shared_;
  std::optional<ScriptedError> play_error_;
};

template <class Sample>
std::expected<std::unique_ptr<Stream>, BuildStreamError> start(
    const StreamScript& script, const StreamConfig& config, std::optional<ScriptedError> play_error,
    DataCallback<Sample> data_callback, ErrorCallback error_callback) {
  const std::uint32_t frames = config.buffer_frames.value_or(script.buffer_frames);
  double interval_ms = 0;
  if (script.interval_ms) {
    interval_ms = *script.interval_ms;
  } else if (config.sample_rate > 0) {
    interval_ms = frames * 1000.0 / config.sample_rate;
  }

  auto lifetime = StreamLifetime::create(std::move(error_callback));
  if (!lifetime) return std::unexpected(lifetime.error());
  std::shared_ptr<SharedStreamState> shared;
  std::shared_ptr<StreamThreadState<Sample>> state;
  try {
    shared = std::make_shared<SharedStreamState>();
    shared->script = script;
    shared->lifetime = *lifetime;
    state = std::make_shared<StreamThreadState<Sample>>(StreamThreadState<Sample>{
        shared,
        std::move(data_callback),
        {},
        SignalGenerator(script.signal, config.sample_rate, config.channels),
        std::vector<Sample>(static_cast<std::size_t>(frames) * config.channels),
        interval_ms * 1e6});
    for (const auto& raw_buffer : script.buffers) {
      auto& buffer = state->explicit_buffers.emplace_back();
      buffer.reserve(raw_buffer.size());
      for (const auto& raw : raw_buffer) buffer.push_back(from_raw<Sample>(raw));
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(BuildStreamError::backend("not enough memory for the stream's buffers"));
  }

  auto started = shared->lifetime->start_thread("stream", [state] { run(state); });
  if (!started) return std::unexpected(started.error());
  return std::make_unique<SimStream>(std::move(shared), std::move(play_error));
}

}  // namespace

std::expected<std::unique_ptr<Stream>, BuildStreamError> start_stream(
    const StreamScript& script, const StreamConfig& config, std::optional<ScriptedError> play_error,
    InputDataCallback data_callback, ErrorCallback error_callback) {
  return std::visit(
      [&](auto& callback) {
        return start(script, config, std::move(play_error), std::move(callback),
                     std::move(error_callback));
      },
      data_callback);
}

}  // namespace kestravo::audio::sim
