#include "audio/pulse/record_stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "audio/callback_formats.h"

namespace kestravo::audio::pulse {

namespace {

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

  // One record at most, whoever notices the loss first.
  void report_lost() {
    lost.store(true, std::memory_order_seq_cst);
    if (!reported.exchange(true) && !stopping.load(std::memory_order_seq_cst) && on_error) {
      on_error(StreamError::of(ErrorKind::DeviceNotAvailable));
    }
  }

  // Hands `frames` whole frames at `bytes` (the server's little-endian
  // samples, aligned for their type) to the data callback.
  void deliver(const void* bytes, std::size_t frames) {
    const auto now = Clock::now();
    const auto span = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(frames) / rate));
    std::visit(
        [&]<class Sample>(const DataCallback<Sample>& typed) {
          typed(std::span<const Sample>(static_cast<const Sample*>(bytes), frames * channels),
                InputCallbackInfo{now, now - span});
        },
        callback);
  }

  const Libpulse& pa;
  const InputDataCallback callback;
  const std::size_t channels;
  const std::uint32_t rate;
  const std::size_t sample_bytes;
  const std::size_t frame_bytes;
  ErrorCallback on_error;
  std::chrono::milliseconds silence_limit{};

  // The loop thread's alone: what the server handed over in pieces that do
  // not fall on whole frames, until they do. Its capacity stays, so a
  // stream that needs it allocates once.
  std::vector<char> pending;

  std::atomic<bool> stopping{false};
  std::atomic<bool> inside{false};  // the loop thread is in on_read
  std::atomic<bool> lost{false};
  std::atomic<bool> reported{false};
  std::atomic<bool> delivered{false};
  std::atomic<Clock::rep> last_data{0};

  // The connect handshake and the watchdog's wake-up.
  std::mutex mutex;
  std::condition_variable changed;
  bool ready = false;
  bool failed = false;  // before ready: the stream never ran
  int error = 0;        // libpulse's error code when it failed
  bool watchdog_stop = false;
};

void note_data(StreamState& s) {
  s.delivered.store(true, std::memory_order_relaxed);
  s.last_data.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
}

// The data is handed over right here, on the loop thread: a second thread
// in between would cost a wake-up per fragment, as much CPU again as the
// rest of the capture. Release copes with a callback stuck in here.
void on_read(pa_stream* stream, std::size_t, void* userdata) {
  auto& s = *static_cast<StreamState*>(userdata);
  // Entering comes before the flag test, as the release expects.
  s.inside.store(true, std::memory_order_seq_cst);
  const bool silenced =
      s.stopping.load(std::memory_order_seq_cst) || s.lost.load(std::memory_order_relaxed);
  for (std::size_t readable = s.pa.pa_stream_readable_size(stream); readable > 0;
       readable = s.pa.pa_stream_readable_size(stream)) {
    const void* data = nullptr;
    std::size_t n = 0;
    if (s.pa.pa_stream_peek(stream, &data, &n) < 0 || n == 0) break;
    // A hole (no data) carries nothing to deliver.
    if (data != nullptr && !silenced) {
      // The usual case: the server's buffer holds everything there is, in
      // whole frames. The callback reads it where it lies. Pieces are
      // gathered instead, so that a fragment still makes one buffer.
      const bool whole = s.pending.empty() && n == readable && n % s.frame_bytes == 0 &&
                         reinterpret_cast<std::uintptr_t>(data) % s.sample_bytes == 0;
      if (whole) {
        note_data(s);
        s.deliver(data, n / s.frame_bytes);
      } else {
        const auto* bytes = static_cast<const char*>(data);
        s.pending.insert(s.pending.end(), bytes, bytes + n);
      }
    }
    s.pa.pa_stream_drop(stream);
  }
  const std::size_t frames = s.pending.size() / s.frame_bytes;
  if (frames > 0) {
    note_data(s);
    // The vector's storage is aligned for every sample type.
    s.deliver(s.pending.data(), frames);
    s.pending.erase(s.pending.begin(),
                    s.pending.begin() + static_cast<std::ptrdiff_t>(frames * s.frame_bytes));
  }
  s.inside.store(false, std::memory_order_seq_cst);
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
  if (lost) s.report_lost();
}

// On PipeWire the data just stops when the session manager dies.
void watchdog(StreamState& s) {
  std::unique_lock lock(s.mutex);
  while (!s.watchdog_stop) {
    s.changed.wait_for(lock, std::chrono::milliseconds(250));
    if (s.watchdog_stop || !s.delivered.load(std::memory_order_relaxed)) continue;
    const Clock::time_point last(Clock::duration(s.last_data.load(std::memory_order_relaxed)));
    if (Clock::now() - last >= s.silence_limit && !s.lost.load()) {
      lock.unlock();
      s.report_lost();
      lock.lock();
    }
  }
}

class PulseStream final : public Stream {
 public:
  PulseStream(std::shared_ptr<Connection> connection, std::shared_ptr<StreamState> state,
              pa_stream* stream)
      : connection_(std::move(connection)), state_(std::move(state)), stream_(stream) {}

  void start_watchdog() {
    auto state = state_;
    // Never joined: it holds its own reference to the state.
    std::thread([state] { watchdog(*state); }).detach();
    watching_ = true;
  }

  ~PulseStream() override {
    if (stream_ == nullptr) return;
    state_->stopping.store(true, std::memory_order_seq_cst);
    if (watching_) {
      std::lock_guard lock(state_->mutex);
      state_->watchdog_stop = true;
      state_->changed.notify_all();
    }
    // The loop thread holds the main loop's lock while it is in a callback:
    // one stuck in a write would keep us waiting for the lock for ever. Then
    // the loop is left to the process exit, with all it touches.
    const auto deadline = Clock::now() + kReleaseWait;
    while (state_->inside.load(std::memory_order_seq_cst) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (state_->inside.load(std::memory_order_seq_cst)) {
      connection_->abandon(state_);
      return;
    }
    close();
  }

  std::expected<void, PlayStreamError> play() override {
    if (state_->lost.load()) {
      return std::unexpected(PlayStreamError::of(ErrorKind::DeviceNotAvailable));
    }
    return {};
  }

  // Removes our callbacks first: after that the loop thread never touches
  // the state again.
  void close() {
    if (stream_ == nullptr) return;
    const auto& pa = connection_->pa();
    Connection::Lock lock(*connection_);
    pa.pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa.pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa.pa_stream_disconnect(stream_);
    pa.pa_stream_unref(stream_);
    stream_ = nullptr;
  }

 private:
  std::shared_ptr<Connection> connection_;
  std::shared_ptr<StreamState> state_;
  pa_stream* stream_;
  bool watching_ = false;
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
    InputDataCallback data_callback, ErrorCallback error_callback, bool watch_silence) {
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

  auto state =
      std::make_shared<StreamState>(pa, std::move(data_callback), config, format.sample_bytes);
  const std::size_t frame_bytes = state->frame_bytes;
  state->on_error = std::move(error_callback);
  state->silence_limit = tuning.silence_limit;

  pa_stream* stream = nullptr;
  {
    Connection::Lock lock(*connection);
    stream = pa.pa_stream_new(connection->context(), "capture", &spec, &map);
    if (stream == nullptr) {
      return std::unexpected(build_error(pa, pa.pa_context_errno(connection->context())));
    }
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
    // Without DONT_MOVE a lost source is silently replaced by the default
    // one, and pipewire-pulse records the default source for a name it does
    // not know.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    if (pa.pa_stream_connect_record(stream, source.name.c_str(), &attr, flags) < 0) {
      const int error = pa.pa_context_errno(connection->context());
      pa.pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa.pa_stream_set_read_callback(stream, nullptr, nullptr);
      pa.pa_stream_unref(stream);
      return std::unexpected(build_error(pa, error));
    }
  }
  auto handle = std::make_unique<PulseStream>(std::move(connection), state, stream);

  std::unique_lock lock(state->mutex);
  const bool answered = state->changed.wait_until(lock, Clock::now() + tuning.query_deadline,
                                                  [&] { return state->ready || state->failed; });
  if (!state->ready) {
    const int error = state->error;
    lock.unlock();
    if (!answered) {
      return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAnswering));
    }
    return std::unexpected(build_error(pa, error));
  }
  lock.unlock();
  if (watch_silence) {
    try {
      handle->start_watchdog();
    } catch (const std::system_error& e) {
      return std::unexpected(
          BuildStreamError::backend(std::string("cannot start the watchdog thread: ") + e.what()));
    }
  }
  return handle;
}

}  // namespace kestravo::audio::pulse
