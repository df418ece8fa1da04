#include "audio/pulse/application_stream.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "audio/callback_formats.h"
#include "audio/pulse/mix.h"
#include "audio/pulse/stream_state.h"

namespace kestravo::audio::pulse {

namespace {

constexpr std::size_t kFrameBytes = MixCursor<kApplicationChannels>::kFrameBytes;

struct Application;

// The record stream of one of the application's streams.
struct Member {
  Application* app = nullptr;
  pa_stream* stream = nullptr;
  std::uint32_t sink_input = 0;
  std::uint32_t sink = 0;
  // Where its next block goes in the turn's mix.
  MixCursor<kApplicationChannels> mix;
  // Killed, failed, moved or no longer the application's: whatever it
  // still delivers is dropped, and the turn's end closes it.
  bool ended = false;
};

// Everything here but the handshake in `state` is the loop thread's, or
// touched with the loop locked. At most one scan of the server is out at a
// time; an event that comes meanwhile scans again once it is done, so the
// last word always counts.
struct Application {
  Application(const Libpulse& pa, pa_context* context, std::shared_ptr<StreamState> state,
              std::string name)
      : pa(pa), context(context), state(std::move(state)), name(std::move(name)) {}

  const Libpulse& pa;
  pa_context* const context;
  // Its pending bytes are the mix of the turn, float frames.
  const std::shared_ptr<StreamState> state;
  const std::string name;
  pa_sample_spec spec{};
  pa_channel_map map{};
  pa_buffer_attr attr{};
  std::vector<std::unique_ptr<Member>> members;
  pa_operation* subscribing = nullptr;  // until the server has answered
  pa_operation* pending = nullptr;      // the scan under way
  bool again = false;
  // What the scan under way found: the application's streams, and each
  // sink's monitor.
  std::vector<SinkInput> found;
  std::vector<std::pair<std::uint32_t, std::string>> monitors;

  void settle(pa_operation* op) {
    if (pending != nullptr) pa.pa_operation_unref(pending);
    pending = op;
  }

  void scan() {
    if (pending != nullptr) {
      again = true;
      return;
    }
    again = false;
    found.clear();
    monitors.clear();
    settle(pa.pa_context_get_sink_input_info_list(context, &Application::on_sink_input, this));
  }

  void done() {
    settle(nullptr);
    if (again) scan();
  }

  // Each of the application's streams gets a record stream on its sink's
  // monitor; one whose stream went or plays into another sink now ends.
  void reconcile() {
    for (const auto& m : members) {
      const bool still = std::ranges::any_of(
          found, [&](const SinkInput& s) { return s.index == m->sink_input && s.sink == m->sink; });
      if (!still) m->ended = true;
    }
    for (const auto& s : found) {
      const bool recorded = std::ranges::any_of(
          members, [&](const auto& m) { return !m->ended && m->sink_input == s.index; });
      const auto monitor =
          std::ranges::find(monitors, s.sink, &decltype(monitors)::value_type::first);
      if (!recorded && monitor != monitors.end()) record(s, monitor->second);
    }
  }

  void record(const SinkInput& input, const std::string& monitor) {
    pa_stream* stream = pa.pa_stream_new(context, "capture", &spec, &map);
    if (stream == nullptr) return;
    auto member = std::make_unique<Member>();
    member->app = this;
    member->stream = stream;
    member->sink_input = input.index;
    member->sink = input.sink;
    // Untied, it would record the whole monitor: every application.
    if (pa.pa_stream_set_monitor_stream(stream, input.index) < 0) {
      pa.pa_stream_unref(stream);
      return;
    }
    pa.pa_stream_set_state_callback(stream, &Application::on_state, member.get());
    pa.pa_stream_set_read_callback(stream, &Application::on_read, member.get());
    pa.pa_stream_set_moved_callback(stream, &Application::on_moved, member.get());
    // The monitor by name: the server refuses any other source for such a
    // stream, where with no source named one that ignored the tie would
    // record the default source, a microphone.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    if (pa.pa_stream_connect_record(stream, monitor.c_str(), &attr, flags) < 0) {
      close(*member);
      return;
    }
    members.push_back(std::move(member));
  }

  void close(Member& m) const {
    pa.pa_stream_set_state_callback(m.stream, nullptr, nullptr);
    pa.pa_stream_set_read_callback(m.stream, nullptr, nullptr);
    pa.pa_stream_set_moved_callback(m.stream, nullptr, nullptr);
    pa.pa_stream_disconnect(m.stream);
    pa.pa_stream_unref(m.stream);
    m.stream = nullptr;
  }

  static void on_read(pa_stream* stream, std::size_t, void* userdata) {
    auto& m = *static_cast<Member*>(userdata);
    const auto& app = *m.app;
    const auto& lifetime = *app.state->lifetime;
    while (app.pa.pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      std::size_t n = 0;
      if (app.pa.pa_stream_peek(stream, &data, &n) < 0 || n == 0) break;
      // A hole (no data) carries nothing to mix.
      if (data != nullptr && !m.ended && !lifetime.stopping() && !lifetime.lost()) {
        // The vector's storage is aligned for every sample type, and
        // keeps its capacity: this allocates only while the stream learns
        // its block size.
        m.mix.add(app.state->pending, static_cast<const char*>(data), n);
      }
      app.pa.pa_stream_drop(stream);
    }
  }

  // The server kills the stream when the application's stream ends or
  // moves; a connection that fails fails it too, which the turn's end tells
  // apart.
  static void on_state(pa_stream* stream, void* userdata) {
    auto& m = *static_cast<Member*>(userdata);
    const auto state = m.app->pa.pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) m.ended = true;
  }

  // PulseAudio never moves such a stream; a server that did would have it
  // record something else.
  static void on_moved(pa_stream*, void* userdata) { static_cast<Member*>(userdata)->ended = true; }

  static void on_event(pa_context*, pa_subscription_event_type_t event, std::uint32_t, void* self) {
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT || facility == PA_SUBSCRIPTION_EVENT_SINK) {
      static_cast<Application*>(self)->scan();
    }
  }

  static void on_sink_input(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
    auto& app = *static_cast<Application*>(self);
    if (eol == 0) {
      if (info == nullptr) return;
      auto input = sink_input_of(app.pa, *info);
      if (input.from_client && input.application == app.name) app.found.push_back(input);
      return;
    }
    if (eol < 0) {
      app.done();
      return;
    }
    app.settle(app.pa.pa_context_get_sink_info_list(app.context, &Application::on_sink, &app));
  }

  static void on_sink(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto& app = *static_cast<Application*>(self);
    if (eol == 0) {
      if (info != nullptr && info->monitor_source_name != nullptr) {
        app.monitors.emplace_back(info->index, info->monitor_source_name);
      }
      return;
    }
    if (eol > 0) app.reconcile();
    app.done();
  }

  static void on_subscribed(pa_context*, int success, void* self) {
    auto& app = *static_cast<Application*>(self);
    auto& s = *app.state;
    app.pa.pa_operation_unref(app.subscribing);
    app.subscribing = nullptr;
    {
      std::lock_guard lock(s.mutex);
      if (success != 0) {
        s.ready = true;
        // The clock starts as the capture runs, whether or not anything
        // plays.
        s.pacer.emplace(s.rate, Clock::now());
      } else {
        s.failed = true;
        s.error = app.pa.pa_context_errno(app.context);
      }
    }
    s.changed.notify_all();
    if (success != 0) app.scan();
  }

  // The streams that ended are closed, the turn's mix handed on (or the
  // clock's silence), and the next turn mixes from the start again. A
  // server that went away is the one loss.
  static void at_turn_end(void* self) {
    auto& app = *static_cast<Application*>(self);
    // Before the capture runs (no clock yet), its start fails instead.
    if (app.state->pacer && app.pa.pa_context_get_state(app.context) != PA_CONTEXT_READY) {
      app.state->lifetime->report_lost();
    }
    for (const auto& m : app.members) {
      if (m->ended) app.close(*m);
    }
    std::erase_if(app.members, [](const auto& m) { return m->stream == nullptr; });
    pulse::at_turn_end(app.state.get());
    for (const auto& m : app.members) m->mix.restart();
  }

  // With the loop locked: afterwards no callback touches this again.
  void stop() {
    pa.pa_context_set_subscribe_callback(context, nullptr, nullptr);
    for (pa_operation** op : {&subscribing, &pending}) {
      if (*op == nullptr) continue;
      pa.pa_operation_cancel(*op);
      pa.pa_operation_unref(*op);
      *op = nullptr;
    }
    for (const auto& m : members) close(*m);
    members.clear();
  }
};

class ApplicationStream final : public Stream {
 public:
  ApplicationStream(std::shared_ptr<Connection> connection, std::shared_ptr<Application> app)
      : connection_(std::move(connection)), app_(std::move(app)) {}

  ~ApplicationStream() override {
    // As for a record stream: a callback stuck in a write leaves the loop,
    // and everything it touches, to the process exit.
    if (!app_->state->lifetime->release()) {
      connection_->abandon(app_);
      return;
    }
    const Connection::Lock lock(*connection_);
    app_->stop();
    connection_->remove_turn_end(app_.get());
  }
  ApplicationStream(const ApplicationStream&) = delete;
  ApplicationStream& operator=(const ApplicationStream&) = delete;

  std::expected<void, PlayStreamError> play() override {
    return app_->state->lifetime->play_result();
  }

 private:
  std::shared_ptr<Connection> connection_;
  std::shared_ptr<Application> app_;
};

}  // namespace

std::expected<std::unique_ptr<Stream>, BuildStreamError> open_application_stream(
    std::shared_ptr<Connection> connection, std::string application, const StreamConfig& config,
    InputDataCallback data_callback, ErrorCallback error_callback, Deadline deadline) {
  const auto& pa = connection->pa();
  const CallbackFormat format = callback_format(data_callback);
  if (config.channels != kApplicationChannels || config.sample_rate == 0 ||
      format.format != SampleFormat::F32) {
    return std::unexpected(BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
  }
  auto lifetime = StreamLifetime::create(std::move(error_callback));
  if (!lifetime) return std::unexpected(lifetime.error());
  auto state =
      std::make_shared<StreamState>(pa, std::move(data_callback), config, format.sample_bytes);
  state->lifetime = std::move(*lifetime);
  state->paced = true;
  state->silence.assign(std::max<std::size_t>(1, config.sample_rate / 50) * kFrameBytes, '\0');
  // Room for what several turns of a loaded machine bring at once.
  state->pending.reserve(std::size_t{config.sample_rate} / 2 * kFrameBytes);

  auto app =
      std::make_shared<Application>(pa, connection->context(), state, std::move(application));
  app->spec.format = PA_SAMPLE_FLOAT32LE;
  app->spec.rate = config.sample_rate;
  app->spec.channels = kApplicationChannels;
  app->map.channels = kApplicationChannels;
  app->map.map[0] = PA_CHANNEL_POSITION_FRONT_LEFT;
  app->map.map[1] = PA_CHANNEL_POSITION_FRONT_RIGHT;
  app->attr.maxlength = static_cast<std::uint32_t>(-1);
  app->attr.tlength = static_cast<std::uint32_t>(-1);
  app->attr.prebuf = static_cast<std::uint32_t>(-1);
  app->attr.minreq = static_cast<std::uint32_t>(-1);
  const auto fragment_frames = std::max<std::uint64_t>(
      1, std::uint64_t{config.sample_rate} *
             static_cast<std::uint64_t>(connection->tuning().fragment.count()) / 1000);
  app->attr.fragsize = static_cast<std::uint32_t>(fragment_frames * kFrameBytes);
  {
    const Connection::Lock lock(*connection);
    connection->add_turn_end(&Application::at_turn_end, app.get());
    connection->turn_at_least_every(ClockPacer::kTick);
    pa.pa_context_set_subscribe_callback(connection->context(), &Application::on_event, app.get());
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                          PA_SUBSCRIPTION_MASK_SINK);
    app->subscribing = pa.pa_context_subscribe(connection->context(), mask,
                                               &Application::on_subscribed, app.get());
    if (app->subscribing == nullptr) {
      const int error = pa.pa_context_errno(connection->context());
      pa.pa_context_set_subscribe_callback(connection->context(), nullptr, nullptr);
      connection->remove_turn_end(app.get());
      return std::unexpected(BuildStreamError::backend(pa.pa_strerror(error)));
    }
  }
  auto handle = std::make_unique<ApplicationStream>(std::move(connection), app);

  std::unique_lock lock(state->mutex);
  state->changed.wait_until(lock, deadline.at(), [&] { return state->ready || state->failed; });
  if (!state->ready) {
    const bool failed = state->failed;
    const int error = state->error;
    lock.unlock();
    if (!failed) return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAnswering));
    return std::unexpected(BuildStreamError::backend(pa.pa_strerror(error)));
  }
  return handle;
}

}  // namespace kestravo::audio::pulse
