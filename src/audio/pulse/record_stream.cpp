#include "audio/pulse/record_stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kestravo::audio::pulse {

namespace {

using Clock = std::chrono::steady_clock;

// Whole frames from the loop thread to the delivery thread. Bytes that do
// not yet make a frame wait in `partial`; when the delivery thread falls a
// second behind, new frames are dropped (as a device overruns), whole.
class FrameQueue {
 public:
  FrameQueue(std::size_t frame_bytes, std::size_t capacity_frames)
      : frame_bytes_(frame_bytes), ring_(frame_bytes * capacity_frames) {}

  void push(const char* data, std::size_t n) {
    if (!partial_.empty()) {
      const std::size_t take = std::min(n, frame_bytes_ - partial_.size());
      partial_.insert(partial_.end(), data, data + take);
      data += take;
      n -= take;
      if (partial_.size() < frame_bytes_) return;
      append(partial_.data(), frame_bytes_);
      partial_.clear();
    }
    const std::size_t whole = n - n % frame_bytes_;
    append(data, whole);
    partial_.assign(data + whole, data + n);
  }

  std::size_t frames() const { return size_ / frame_bytes_; }

  // Moves every queued frame to `out`; returns the frame count.
  std::size_t pop_all(std::vector<char>& out) {
    out.resize(size_);
    const std::size_t first = std::min(size_, ring_.size() - head_);
    std::memcpy(out.data(), ring_.data() + head_, first);
    std::memcpy(out.data() + first, ring_.data(), size_ - first);
    const std::size_t frames = size_ / frame_bytes_;
    head_ = (head_ + size_) % ring_.size();
    size_ = 0;
    return frames;
  }

  void clear() {
    size_ = 0;
    partial_.clear();
  }

 private:
  void append(const char* data, std::size_t n) {
    n = std::min(n, ring_.size() - size_);
    n -= n % frame_bytes_;
    std::size_t tail = (head_ + size_) % ring_.size();
    const std::size_t first = std::min(n, ring_.size() - tail);
    std::memcpy(ring_.data() + tail, data, first);
    std::memcpy(ring_.data(), data + first, n - first);
    size_ += n;
  }

  std::size_t frame_bytes_;
  std::vector<char> ring_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::vector<char> partial_;
};

// Hands `frames` frames of raw little-endian bytes to the typed callback.
using Deliver = std::function<void(const std::vector<char>& bytes, std::size_t frames)>;

template <class Sample>
Deliver make_deliver(DataCallback<Sample> callback, std::uint16_t channels, std::uint32_t rate) {
  return [callback = std::move(callback), channels, rate, samples = std::vector<Sample>()](
             const std::vector<char>& bytes, std::size_t frames) mutable {
    samples.resize(frames * channels);
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(Sample));
    const auto now = Clock::now();
    const auto span = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(frames) / rate));
    callback(std::span<const Sample>(samples), InputCallbackInfo{now, now - span});
  };
}

// Everything the loop thread's callbacks and the delivery thread touch. On
// the heap and shared, so a delivery thread left behind at release (or still
// running at exit) touches nothing freed.
struct StreamState {
  StreamState(const Libpulse& pa, std::size_t frame_bytes, std::uint32_t rate)
      : pa(pa), queue(frame_bytes, std::max<std::uint32_t>(rate, 1)) {}

  const Libpulse& pa;
  Deliver deliver;
  ErrorCallback on_error;
  bool watch_silence = false;
  std::chrono::milliseconds silence_limit{};

  std::mutex mutex;
  std::condition_variable changed;
  FrameQueue queue;
  bool ready = false;
  bool failed = false;  // before ready: the stream never ran
  int error = 0;        // libpulse's error code when it failed
  bool lost = false;
  bool stopping = false;
  bool finished = false;  // the delivery thread has returned
  bool delivered = false;
  Clock::time_point last_data{};
};

void on_read(pa_stream* stream, std::size_t, void* userdata) {
  auto& s = *static_cast<StreamState*>(userdata);
  bool pushed = false;
  while (s.pa.pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    std::size_t n = 0;
    if (s.pa.pa_stream_peek(stream, &data, &n) < 0 || n == 0) break;
    if (data != nullptr) {
      std::lock_guard lock(s.mutex);
      if (!s.lost && !s.stopping) {
        s.queue.push(static_cast<const char*>(data), n);
        s.delivered = true;
        s.last_data = Clock::now();
        pushed = true;
      }
    }
    // A hole (no data) carries nothing to deliver.
    s.pa.pa_stream_drop(stream);
  }
  if (pushed) s.changed.notify_one();
}

void on_state(pa_stream* stream, void* userdata) {
  auto& s = *static_cast<StreamState*>(userdata);
  const auto state = s.pa.pa_stream_get_state(stream);
  {
    std::lock_guard lock(s.mutex);
    if (state == PA_STREAM_READY) {
      s.ready = true;
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
      // We never disconnect a stream with our callbacks still installed, so
      // this is the server's doing: the source removed, the stream killed or
      // the server gone.
      if (!s.ready) {
        s.failed = true;
        s.error = s.pa.pa_context_errno(s.pa.pa_stream_get_context(stream));
      } else {
        s.lost = true;
        s.queue.clear();
      }
    }
  }
  s.changed.notify_all();
}

void deliver_loop(StreamState& s) {
  std::vector<char> bytes;
  bool reported = false;
  std::unique_lock lock(s.mutex);
  while (!s.stopping) {
    if (s.lost) {
      if (!reported) {
        reported = true;
        lock.unlock();
        if (s.on_error) s.on_error(StreamError::of(ErrorKind::DeviceNotAvailable));
        lock.lock();
      }
      s.changed.wait(lock, [&] { return s.stopping; });
      break;
    }
    if (s.queue.frames() > 0) {
      const std::size_t frames = s.queue.pop_all(bytes);
      lock.unlock();
      s.deliver(bytes, frames);
      lock.lock();
      continue;
    }
    if (s.watch_silence && s.delivered) {
      const auto deadline = s.last_data + s.silence_limit;
      if (Clock::now() >= deadline) {
        s.lost = true;
        continue;
      }
      s.changed.wait_until(lock, deadline);
    } else {
      s.changed.wait(lock);
    }
  }
}

class PulseStream final : public Stream {
 public:
  PulseStream(std::shared_ptr<Connection> connection, std::shared_ptr<StreamState> state,
              pa_stream* stream)
      : connection_(std::move(connection)), state_(std::move(state)), stream_(stream) {}

  void start_delivery() {
    auto state = state_;
    thread_ = std::thread([state] {
      deliver_loop(*state);
      std::lock_guard lock(state->mutex);
      state->finished = true;
      state->changed.notify_all();
    });
  }

  ~PulseStream() override {
    if (thread_.joinable()) {
      std::unique_lock lock(state_->mutex);
      state_->stopping = true;
      state_->changed.notify_all();
      const bool done =
          state_->changed.wait_for(lock, kReleaseWait, [&] { return state_->finished; });
      lock.unlock();
      // A callback stuck in a write keeps its thread; the state it uses
      // stays alive with it.
      if (done && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
      } else {
        thread_.detach();
      }
    }
    close();
  }

  std::expected<void, PlayStreamError> play() override {
    std::lock_guard lock(state_->mutex);
    if (state_->lost) return std::unexpected(PlayStreamError::of(ErrorKind::DeviceNotAvailable));
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
  std::thread thread_;
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
  Deliver deliver;
  std::size_t sample_bytes = 0;
  if (auto* f = std::get_if<DataCallback<float>>(&data_callback)) {
    spec.format = PA_SAMPLE_FLOAT32LE;
    sample_bytes = 4;
    deliver = make_deliver(std::move(*f), config.channels, config.sample_rate);
  } else if (auto* i = std::get_if<DataCallback<std::int16_t>>(&data_callback)) {
    spec.format = PA_SAMPLE_S16LE;
    sample_bytes = 2;
    deliver = make_deliver(std::move(*i), config.channels, config.sample_rate);
  } else {
    return std::unexpected(BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
  }
  pa_channel_map map{};
  map.channels = spec.channels;
  for (std::size_t k = 0; k < source.map.size(); ++k) {
    map.map[k] = static_cast<pa_channel_position_t>(source.map[k]);
  }

  const std::size_t frame_bytes = sample_bytes * config.channels;
  auto state = std::make_shared<StreamState>(pa, frame_bytes, config.sample_rate);
  state->deliver = std::move(deliver);
  state->on_error = std::move(error_callback);
  state->watch_silence = watch_silence;
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
  auto handle = std::make_unique<PulseStream>(connection, state, stream);

  std::unique_lock lock(state->mutex);
  const bool answered = state->changed.wait_until(lock, Clock::now() + tuning.query_deadline,
                                                  [&] { return state->ready || state->failed; });
  if (!state->ready) {
    const int error = state->error;
    lock.unlock();
    if (!answered) {
      return std::unexpected(
          BuildStreamError::backend("the sound server did not open the stream in time"));
    }
    return std::unexpected(build_error(pa, error));
  }
  lock.unlock();
  try {
    handle->start_delivery();
  } catch (const std::system_error& e) {
    return std::unexpected(
        BuildStreamError::backend(std::string("cannot start the delivery thread: ") + e.what()));
  }
  return handle;
}

}  // namespace kestravo::audio::pulse
