#include "audio/pulse/record_stream.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "audio/callback_formats.h"
#include "audio/clock_pacer.h"
#include "audio/pulse/follow.h"
#include "audio/pulse/stream_state.h"
#include "audio/stall_watch.h"
#include "audio/stream_lifetime.h"

namespace kestravo::audio::pulse {

namespace {

// The data is handed over on the loop thread: a second thread in between
// would cost a wake-up per fragment, as much CPU again as the rest of the
// capture. Release copes with a callback stuck in here.
//
// Each block is taken from the server as soon as its read callback comes,
// and handed back at once: a block held until later is released once the
// server's thread has gone back to sleep, and the release wakes it, which
// costs more than the copy. What the loop read in one turn is handed over
// once the turn has read everything that arrived: the server often sends
// one fragment as several blocks, and together they make one buffer, so one
// write of the PCM and one wake-up of its reader. A block that is a whole
// fragment by itself is handed over at once, from the server's memory: the
// copy would cost as much as everything else the tool does with it.
void on_read(pa_stream* stream, std::size_t, void* userdata) {
  auto& s = *static_cast<StreamState*>(userdata);
  const bool silenced = s.lifetime->stopping() || s.lifetime->lost();
  // Nothing arrives while the loop is in here: what is readable now is all
  // this turn has, blocks and holes alike, so it is asked once.
  for (std::size_t left = s.pa.pa_stream_readable_size(stream); left > 0;) {
    const void* data = nullptr;
    std::size_t n = 0;
    if (s.pa.pa_stream_peek(stream, &data, &n) < 0 || n == 0) break;
    left -= std::min(left, n);
    // A hole (no data) carries nothing to deliver.
    if (data != nullptr && !silenced) {
      // While the stream is astray its blocks become silence in the same
      // format, each judged as it comes: the stream may be back in place
      // before the turn ends, and what came before that must not pass as
      // if it were.
      if (s.astray.load(std::memory_order_relaxed)) {
        s.pending.insert(s.pending.end(), n, '\0');
      } else if (s.in_place_bytes != 0 && n >= s.in_place_bytes && s.pending.empty() &&
                 n % s.frame_bytes == 0 &&
                 reinterpret_cast<std::uintptr_t>(data) % s.sample_bytes == 0) {
        const StreamLifetime::ForeignCallback running(*s.lifetime);
        if (!s.lifetime->stopping() && !s.lifetime->lost()) {
          s.deliver(data, n / s.frame_bytes, true);
        }
      } else {
        const auto* bytes = static_cast<const char*>(data);
        s.pending.insert(s.pending.end(), bytes, bytes + n);
      }
    }
    s.pa.pa_stream_drop(stream);
  }
}

void on_state(pa_stream* stream, void* userdata) {
  auto& s = *static_cast<StreamState*>(userdata);
  const auto state = s.pa.pa_stream_get_state(stream);
  if (state != PA_STREAM_READY && state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) {
    return;
  }
  bool lost = false;
  {
    std::lock_guard lock(s.mutex);
    if (state == PA_STREAM_READY) {
      s.ready = true;
      // The clock of a paced stream starts as it runs.
      if (s.paced) s.pacer.emplace(s.rate, Clock::now());
    } else if (!s.ready) {
      s.failed = true;
      s.error = s.pa.pa_context_errno(s.pa.pa_stream_get_context(stream));
    } else {
      // We never disconnect a stream with our callbacks still installed, so
      // this is the server's doing: the source removed, the stream killed or
      // the server gone.
      lost = true;
    }
  }
  s.changed.notify_all();
  if (lost) s.lifetime->report_lost();
}

// The answer to the watchdog's question. The question holds the state until
// it is answered: the stream may be released meanwhile.
void on_answer(pa_context*, const pa_server_info*, void* userdata) {
  const std::unique_ptr<std::shared_ptr<StreamState>> held(
      static_cast<std::shared_ptr<StreamState>*>(userdata));
  (*held)->answers.fetch_add(1, std::memory_order_relaxed);
}

// Asks the server something small, to learn whether it answers at all.
void ask(const std::shared_ptr<StreamState>& state, const Connection& connection) {
  const auto& pa = connection.pa();
  auto held = std::make_unique<std::shared_ptr<StreamState>>(state);
  const Connection::Lock lock(connection);
  pa_operation* op = pa.pa_context_get_server_info(connection.context(), &on_answer, held.get());
  // None when the connection is failing; its state change tells the rest.
  if (op == nullptr) return;
  static_cast<void>(held.release());
  pa.pa_operation_unref(op);
}

// On PipeWire the data just stops when the session manager dies; the stall
// policy tells that from a stall of the tool or of the server.
void watchdog(const std::shared_ptr<StreamState>& state,
              const std::shared_ptr<Connection>& connection) {
  StreamLifetime& lifetime = *state->lifetime;
  StallWatch watch(state->silence_limit, Clock::now());
  std::uint64_t deliveries = 0;
  std::uint64_t answers = 0;
  while (!lifetime.wait_until(Clock::now() + StallWatch::kTick) && !lifetime.lost()) {
    const auto delivered = state->deliveries.load(std::memory_order_relaxed);
    const auto answered = state->answers.load(std::memory_order_relaxed);
    // Nothing counts before the first data.
    const auto verdict = watch.look(
        {.now = Clock::now(),
         .data = delivered != deliveries || delivered == 0,
         // Nothing to follow (no output at
         // all) is no loss either.
         .held_up = lifetime.in_foreign_callback() || state->astray.load(std::memory_order_relaxed),
         .answered = answered != answers});
    deliveries = delivered;
    answers = answered;
    if (verdict == StallWatch::Verdict::Lost) {
      lifetime.report_lost();
    } else if (verdict == StallWatch::Verdict::Ask) {
      ask(state, *connection);
    }
  }
}

class PulseStream final : public Stream {
 public:
  PulseStream(std::shared_ptr<Connection> connection, std::shared_ptr<StreamState> state,
              pa_stream* stream)
      : connection_(std::move(connection)), state_(std::move(state)), stream_(stream) {}

  std::expected<void, BuildStreamError> start_watchdog() {
    return state_->lifetime->start_thread(
        "watchdog", [state = state_, connection = connection_] { watchdog(state, connection); });
  }

  ~PulseStream() override {
    if (stream_ == nullptr) return;
    // The loop thread holds the main loop's lock while it is in a callback:
    // one stuck in a write would keep us waiting for the lock for ever. Then
    // the loop is left to the process exit, with all it touches.
    if (!state_->lifetime->release()) {
      connection_->abandon(state_);
      return;
    }
    close();
  }

  std::expected<void, PlayStreamError> play() override { return state_->lifetime->play_result(); }

  const std::shared_ptr<Connection>& connection() const { return connection_; }
  pa_stream* stream() const { return stream_; }
  void follow(std::unique_ptr<Follower> follower) { follower_ = std::move(follower); }

  // Removes our callbacks first: after that the loop thread never touches
  // the state again.
  void close() {
    if (stream_ == nullptr) return;
    const auto& pa = connection_->pa();
    Connection::Lock lock(*connection_);
    if (follower_) follower_->stop();
    pa.pa_stream_set_read_callback(stream_, nullptr, nullptr);
    connection_->remove_turn_end(state_.get());
    pa.pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa.pa_stream_disconnect(stream_);
    pa.pa_stream_unref(stream_);
    stream_ = nullptr;
  }

 private:
  std::shared_ptr<Connection> connection_;
  std::shared_ptr<StreamState> state_;
  pa_stream* stream_;
  std::unique_ptr<Follower> follower_;
};

BuildStreamError build_error(const Libpulse& pa, int error) {
  if (error == PA_ERR_NOENTITY || error == PA_ERR_KILLED || error == PA_ERR_CONNECTIONTERMINATED) {
    return BuildStreamError::of(ErrorKind::DeviceNotAvailable);
  }
  if (error == PA_ERR_INVALID || error == PA_ERR_NOTSUPPORTED) {
    return BuildStreamError::of(ErrorKind::StreamConfigNotSupported);
  }
  return BuildStreamError::backend(pa.pa_strerror(error));
}

}  // namespace

std::expected<std::unique_ptr<Stream>, BuildStreamError> open_record_stream(
    std::shared_ptr<Connection> connection, const Source& source, const StreamConfig& config,
    InputDataCallback data_callback, ErrorCallback error_callback, bool watch_silence,
    Deadline deadline) {
  const auto& pa = connection->pa();
  const auto& tuning = connection->tuning();
  if (config.channels != source.channels || source.map.size() != source.channels ||
      config.sample_rate == 0) {
    return std::unexpected(BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
  }
  pa_sample_spec spec{};
  spec.rate = config.sample_rate;
  spec.channels = static_cast<std::uint8_t>(config.channels);
  const CallbackFormat format = callback_format(data_callback);
  if (format.format == SampleFormat::F32) {
    spec.format = PA_SAMPLE_FLOAT32LE;
  } else if (format.format == SampleFormat::I16) {
    spec.format = PA_SAMPLE_S16LE;
  } else {
    // The servers have no unsigned 16-bit samples.
    return std::unexpected(BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
  }
  pa_channel_map map{};
  map.channels = spec.channels;
  for (std::size_t k = 0; k < source.map.size(); ++k) {
    map.map[k] = static_cast<pa_channel_position_t>(source.map[k]);
  }

  auto lifetime = StreamLifetime::create(std::move(error_callback));
  if (!lifetime) return std::unexpected(lifetime.error());
  auto state =
      std::make_shared<StreamState>(pa, std::move(data_callback), config, format.sample_bytes);
  const std::size_t frame_bytes = state->frame_bytes;
  state->lifetime = std::move(*lifetime);
  state->silence_limit = tuning.silence_limit;
  // What the desktop plays, or whatever input it uses now, may go quiet
  // without the capture ending: such a stream keeps time with silence.
  state->paced = source.monitor || source.follow != Follow::None;
  if (state->paced) {
    state->silence.assign(std::max<std::size_t>(1, config.sample_rate / 50) * frame_bytes, '\0');
  }

  pa_stream* stream = nullptr;
  {
    Connection::Lock lock(*connection);
    stream = pa.pa_stream_new(connection->context(), "capture", &spec, &map);
    if (stream == nullptr) {
      return std::unexpected(build_error(pa, pa.pa_context_errno(connection->context())));
    }
    connection->add_turn_end(&at_turn_end, state.get());
    if (state->paced) connection->turn_at_least_every(ClockPacer::kTick);
    pa.pa_stream_set_state_callback(stream, &on_state, state.get());
    pa.pa_stream_set_read_callback(stream, &on_read, state.get());
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    const auto fragment_frames =
        std::max<std::uint64_t>(1, std::uint64_t{config.sample_rate} *
                                       static_cast<std::uint64_t>(tuning.fragment.count()) / 1000);
    attr.fragsize = static_cast<std::uint32_t>(fragment_frames * frame_bytes);
    if (!state->paced) state->in_place_bytes = attr.fragsize;
    // Without DONT_MOVE a lost source is silently replaced by the default
    // one, and pipewire-pulse records the default source for a name it does
    // not know. A following device is moved on purpose; one on the default
    // input names no source, so the server places it on the default itself.
    const bool follows = source.follow != Follow::None;
    const auto flags = static_cast<pa_stream_flags_t>((follows ? 0 : PA_STREAM_DONT_MOVE) |
                                                      PA_STREAM_ADJUST_LATENCY);
    const char* device = source.follow == Follow::DefaultInput    ? nullptr
                         : source.follow == Follow::DefaultOutput ? source.start_on.c_str()
                                                                  : source.name.c_str();
    if (pa.pa_stream_connect_record(stream, device, &attr, flags) < 0) {
      const int error = pa.pa_context_errno(connection->context());
      pa.pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa.pa_stream_set_read_callback(stream, nullptr, nullptr);
      connection->remove_turn_end(state.get());
      pa.pa_stream_unref(stream);
      return std::unexpected(build_error(pa, error));
    }
  }
  auto handle = std::make_unique<PulseStream>(std::move(connection), state, stream);

  std::unique_lock lock(state->mutex);
  const bool answered =
      state->changed.wait_until(lock, deadline.at(), [&] { return state->ready || state->failed; });
  if (!state->ready) {
    const int error = state->error;
    lock.unlock();
    if (!answered) {
      return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAnswering));
    }
    return std::unexpected(build_error(pa, error));
  }
  lock.unlock();
  {
    Connection::Lock loop(*handle->connection());
    handle->follow(source.follow != Follow::None
                       ? Follower::start(*handle->connection(), handle->stream(), source.follow,
                                         std::shared_ptr<std::atomic<bool>>(state, &state->astray))
                       : Follower::watch(*handle->connection(), handle->stream(), state->lifetime));
  }
  if (watch_silence) {
    if (auto started = handle->start_watchdog(); !started) {
      return std::unexpected(started.error());
    }
  }
  return handle;
}

}  // namespace kestravo::audio::pulse
