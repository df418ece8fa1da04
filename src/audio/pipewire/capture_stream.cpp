#include "audio/pipewire/capture_stream.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "audio/callback_formats.h"
#include "audio/clock_pacer.h"
#include "audio/device_names.h"
#include "audio/pipewire/routing.h"
#include "audio/stall_watch.h"
#include "audio/stream_lifetime.h"

namespace kestravo::audio::pipewire {

namespace {

using Clock = std::chrono::steady_clock;
using Kind = Capture::Kind;

struct StreamState;

// One link of ours, and whether it carries data yet.
struct Link {
  StreamState* state = nullptr;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  bool active = false;
};

// Everything the loop thread's callbacks and the watchdog touch. On the heap
// and shared, so a loop thread left stuck in a callback at release (or still
// running at exit) touches nothing freed.
struct StreamState {
  StreamState(std::shared_ptr<Connection> connection, Capture device, InputDataCallback callback,
              const StreamConfig& config, std::size_t sample_bytes)
      : pw(connection->pw()),
        connection(std::move(connection)),
        device(std::move(device)),
        callback(std::move(callback)),
        rate(config.sample_rate),
        channels(config.channels),
        sample_bytes(sample_bytes),
        frame_bytes(sample_bytes * config.channels),
        paced(this->device.kind != Kind::Node || this->device.monitor),
        silence(std::max<std::size_t>(1, config.sample_rate / 50) * frame_bytes, '\0'),
        aligned(silence.size()) {}

  // Hands `frames` whole frames at `bytes` to the data callback.
  void deliver(const void* bytes, std::size_t frames) {
    deliver_frames(callback, bytes, frames, channels, rate);
  }

  bool passing() const { return !lifetime->stopping() && !lifetime->lost(); }

  const Libpipewire& pw;
  const std::shared_ptr<Connection> connection;
  const Capture device;
  const InputDataCallback callback;
  const std::uint32_t rate;
  const std::size_t channels;
  const std::size_t sample_bytes;
  const std::size_t frame_bytes;
  // What the desktop plays, whatever input it uses now and an application
  // may go quiet without the capture ending: such a stream keeps time with
  // silence.
  const bool paced;
  std::shared_ptr<StreamLifetime> lifetime;

  // The loop thread's alone, once the stream is connected.
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_source* timer = nullptr;
  bool running = false;
  std::uint32_t node = SPA_ID_INVALID;    // our own
  std::uint32_t target = SPA_ID_INVALID;  // a node's capture: the node
  std::optional<ClockPacer> pacer;
  std::vector<char> silence;
  // For a block the daemon placed off its alignment, copied through in
  // pieces: sized once, never grown on the data thread.
  std::vector<char> aligned;
  // Ours, by (the device's output port, our input port).
  std::map<std::pair<std::uint32_t, std::uint32_t>, Link> links;
  // Every link carries data: the daemon activates links one by one, and a
  // buffer from before that holds some of the device's channels and not
  // others, so silence stands in for it. On PipeWire 1.4 the first buffers
  // after that still miss a channel now and then, so silence stands in for
  // them too.
  bool carrying = false;
  int settling = 0;

  // For the watchdog: buffers of the daemon's delivered, and whether the
  // stream has anything to be linked to (a following device may have none).
  std::atomic<std::uint64_t> deliveries{0};
  std::atomic<bool> unlinked{false};

  // The connect handshake.
  std::mutex mutex;
  std::condition_variable changed;
  bool ready = false;
  bool failed = false;
};

std::uint32_t device_named(const Connection& c, const std::string& name, bool sink) {
  if (name.empty()) return SPA_ID_INVALID;
  for (const auto& [id, d] : c.devices()) {
    if (d.name == name && (sink ? d.sink : d.source)) return id;
  }
  return SPA_ID_INVALID;
}

// A node's output ports, in port order: a sink's monitor ports, or what a
// source or an application plays. A virtual source (a sink made to be one)
// has only monitor ports, which then are its output.
std::vector<std::uint32_t> outputs_of(const Connection& c, std::uint32_t node, bool monitor) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // (index, id)
  for (const bool as_monitor : {monitor, true}) {
    for (const auto& [id, port] : c.ports()) {
      if (port.node == node && port.output && port.monitor == as_monitor) {
        found.emplace_back(port.index, id);
      }
    }
    if (!found.empty()) break;
  }
  std::ranges::sort(found);
  std::vector<std::uint32_t> ids;
  ids.reserve(found.size());
  for (const auto& [index, id] : found) ids.push_back(id);
  return ids;
}

// Links each port of `outputs` to the channels of ours it feeds.
using Wanted = std::set<std::pair<std::uint32_t, std::uint32_t>>;

void to_stereo(const Connection& c, std::span<const std::uint32_t> outputs,
               std::span<const std::uint32_t> ours, Wanted& wanted) {
  std::vector<std::string_view> channels;
  channels.reserve(outputs.size());
  for (const auto id : outputs) channels.emplace_back(c.ports().at(id).channel);
  const auto routes = route_to_stereo(channels);
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    for (std::size_t k = 0; k < 2 && k < ours.size(); ++k) {
      if ((routes[i] & (1U << k)) != 0) wanted.emplace(outputs[i], ours[k]);
    }
  }
}

// The device's own layout, which our stream asks for: channel to channel,
// by position, else by order.
void by_channel(const Connection& c, std::span<const std::uint32_t> outputs,
                std::span<const std::uint32_t> ours, Wanted& wanted) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const auto& channel = c.ports().at(outputs[i]).channel;
    const auto same = std::ranges::find_if(
        ours, [&](std::uint32_t id) { return c.ports().at(id).channel == channel; });
    if (same != ours.end()) {
      wanted.emplace(outputs[i], *same);
    } else if (i < ours.size()) {
      wanted.emplace(outputs[i], ours[i]);
    }
  }
}

constexpr int kSettlingBuffers = 2;

// Nothing feeds the stream for now: the clock's silence need not wait for
// the gap to show.
void gap_begins(StreamState& s) {
  if (s.pacer) s.pacer->gap_begins(Clock::now());
}

void settle(StreamState& s) {
  const bool was = s.carrying;
  s.carrying = !s.links.empty() &&
               std::ranges::all_of(s.links, [](const auto& l) { return l.second.active; });
  if (s.carrying && !was) s.settling = kSettlingBuffers;
  // A link that stops carrying data holds up the rest.
  if (was && !s.carrying) gap_begins(s);
}

void drop(StreamState& s, Link& link) {
  if (link.proxy == nullptr) return;
  spa_hook_remove(&link.listener);
  s.pw.pw_proxy_destroy(link.proxy);
  link.proxy = nullptr;
}

void on_link_info(void* data, const pw_link_info* info) {
  auto& link = *static_cast<Link*>(data);
  if (info == nullptr || (info->change_mask & PW_LINK_CHANGE_MASK_STATE) == 0) return;
  link.active = info->state == PW_LINK_STATE_ACTIVE;
  settle(*link.state);
}

// Links the device's ports to our input ports, and drops our links whose
// ports have gone or that lead to what the device no longer is. Nothing
// else is ever linked to the stream: that is what keeps other sound out.
void relink(StreamState& s) {
  if (!s.running || s.connection->lost()) return;
  const Connection& c = *s.connection;
  const std::vector<std::uint32_t> ours = [&] {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;
    for (const auto& [id, port] : c.ports()) {
      if (port.node == s.node && !port.output) found.emplace_back(port.index, id);
    }
    std::ranges::sort(found);
    std::vector<std::uint32_t> ids;
    ids.reserve(found.size());
    for (const auto& [index, id] : found) ids.push_back(id);
    return ids;
  }();
  Wanted wanted;
  bool target_there = true;
  switch (s.device.kind) {
    case Kind::Application:
      for (const auto& [node_id, node] : c.playing()) {
        if (node.known && node.application == s.device.node) {
          to_stereo(c, outputs_of(c, node_id, false), ours, wanted);
        }
      }
      break;
    case Kind::Follow: {
      const bool input = s.device.offered.follow == Follow::DefaultInput;
      const auto target = device_named(c, input ? c.default_source() : c.default_sink(), !input);
      target_there = target != SPA_ID_INVALID;
      if (target_there) to_stereo(c, outputs_of(c, target, s.device.monitor), ours, wanted);
      break;
    }
    case Kind::Node:
      by_channel(c, outputs_of(c, s.target, s.device.monitor), ours, wanted);
      break;
  }
  s.unlinked.store(!target_there, std::memory_order_relaxed);
  bool kept = false;
  bool dropped = false;
  for (auto it = s.links.begin(); it != s.links.end();) {
    if (wanted.contains(it->first)) {
      kept = true;
      ++it;
      continue;
    }
    drop(s, it->second);
    it = s.links.erase(it);
    dropped = true;
  }
  // Nothing feeds the stream until new links carry data, if any come.
  if (dropped && !kept) gap_begins(s);
  for (const auto& key : wanted) {
    if (s.links.contains(key)) continue;
    const std::string out_node = std::to_string(c.ports().at(key.first).node);
    const std::string out_port = std::to_string(key.first);
    const std::string in_node = std::to_string(s.node);
    const std::string in_port = std::to_string(key.second);
    const spa_dict_item items[] = {
        {PW_KEY_LINK_OUTPUT_NODE, out_node.c_str()},
        {PW_KEY_LINK_OUTPUT_PORT, out_port.c_str()},
        {PW_KEY_LINK_INPUT_NODE, in_node.c_str()},
        {PW_KEY_LINK_INPUT_PORT, in_port.c_str()},
        {PW_KEY_OBJECT_LINGER, "false"},
    };
    const spa_dict dict{.flags = 0, .n_items = std::size(items), .items = items};
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        c.core(), "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &dict, 0));
    if (proxy == nullptr) continue;
    Link& link = s.links[key];
    link.state = &s;
    link.proxy = proxy;
    static const pw_link_events link_events = {
        .version = PW_VERSION_LINK_EVENTS,
        .info = &on_link_info,
    };
    pw_link_add_listener(reinterpret_cast<pw_link*>(proxy), &link.listener, &link_events, &link);
  }
  settle(s);
}

void on_graph_changed(void* userdata) {
  auto& s = *static_cast<StreamState*>(userdata);
  // Only the daemon going away, or a node captured as itself, loses the
  // device: an application that stops playing, or a default device that
  // goes, is silence.
  if (s.connection->lost() ||
      (s.device.kind == Kind::Node && !s.connection->devices().contains(s.target))) {
    s.lifetime->report_lost();
    return;
  }
  relink(s);
}

// The data is handed over from the daemon's shared memory where it lies.
void on_process(void* userdata) {
  auto& s = *static_cast<StreamState*>(userdata);
  pw_buffer* buffer = s.pw.pw_stream_dequeue_buffer(s.stream);
  if (buffer == nullptr) return;
  const spa_data& d = buffer->buffer->datas[0];
  if (d.data != nullptr && d.chunk != nullptr) {
    const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
    const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
    const std::size_t frames = size / s.frame_bytes;
    const char* bytes = static_cast<const char*>(d.data) + offset;
    const StreamLifetime::ForeignCallback running(*s.lifetime);
    if (frames > 0) s.deliveries.fetch_add(1, std::memory_order_relaxed);
    if (frames > 0 && s.passing()) {
      const std::size_t dropped = s.pacer ? s.pacer->on_data(Clock::now(), frames) : 0;
      const char* from = bytes + std::min(dropped, frames) * s.frame_bytes;
      std::size_t left = frames - std::min(dropped, frames);
      const bool settled = s.carrying && s.settling == 0;
      if (s.carrying && s.settling > 0) --s.settling;
      if (!settled) {
        // Some channels and not others: their time passes as silence.
        const std::size_t room = s.silence.size() / s.frame_bytes;
        while (left > 0) {
          const std::size_t n = std::min(left, room);
          s.deliver(s.silence.data(), n);
          left -= n;
        }
      } else if (reinterpret_cast<std::uintptr_t>(from) % s.sample_bytes == 0) {
        if (left > 0) s.deliver(from, left);
      } else {
        const std::size_t room = s.aligned.size() / s.frame_bytes;
        while (left > 0) {
          const std::size_t n = std::min(left, room);
          std::memcpy(s.aligned.data(), from, n * s.frame_bytes);
          s.deliver(s.aligned.data(), n);
          from += n * s.frame_bytes;
          left -= n;
        }
      }
    }
  }
  s.pw.pw_stream_queue_buffer(s.stream, buffer);
}

// Every tick, whether or not anything plays: the silence that is due.
void on_tick(void* userdata, std::uint64_t) {
  auto& s = *static_cast<StreamState*>(userdata);
  if (!s.pacer) return;
  const StreamLifetime::ForeignCallback running(*s.lifetime);
  if (!s.passing()) return;
  const std::size_t room = s.silence.size() / s.frame_bytes;
  for (std::uint64_t due = s.pacer->on_tick(Clock::now()); due > 0;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(due, room));
    s.deliver(s.silence.data(), n);
    due -= n;
  }
}

void on_state(void* userdata, pw_stream_state, pw_stream_state state, const char*) {
  auto& s = *static_cast<StreamState*>(userdata);
  if (state == PW_STREAM_STATE_ERROR) {
    {
      const std::lock_guard lock(s.mutex);
      if (!s.ready) s.failed = true;
    }
    s.changed.notify_all();
    return;
  }
  if ((state != PW_STREAM_STATE_PAUSED && state != PW_STREAM_STATE_STREAMING) || s.running) return;
  s.node = s.pw.pw_stream_get_node_id(s.stream);
  if (s.node == SPA_ID_INVALID) return;
  s.running = true;
  if (s.paced) {
    // The clock starts as the stream runs, and no data comes before the
    // links are made.
    s.pacer.emplace(s.rate, Clock::now());
    s.pacer->gap_begins(Clock::now());
    s.timer = pw_loop_add_timer(s.connection->loop(), &on_tick, &s);
    if (s.timer != nullptr) {
      const auto tick = std::chrono::duration_cast<std::chrono::nanoseconds>(ClockPacer::kTick);
      timespec every{.tv_sec = 0, .tv_nsec = static_cast<long>(tick.count())};
      pw_loop_update_timer(s.connection->loop(), s.timer, &every, &every, false);
    }
  }
  relink(s);
  {
    const std::lock_guard lock(s.mutex);
    s.ready = true;
  }
  s.changed.notify_all();
}

const pw_stream_events* stream_events() {
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &on_state;
    e.process = &on_process;
    return e;
  }();
  return &events;
}

// Data that stops while the daemon answers: the node stopped delivering
// without going away. A stall of the tool or of the daemon is no loss.
void watchdog(const std::shared_ptr<StreamState>& state, std::chrono::milliseconds limit) {
  StreamLifetime& lifetime = *state->lifetime;
  const Connection& connection = *state->connection;
  StallWatch watch(limit, Clock::now());
  std::uint64_t deliveries = 0;
  std::uint64_t answers = connection.answers();
  while (!lifetime.wait_until(Clock::now() + StallWatch::kTick) && !lifetime.lost()) {
    const auto delivered = state->deliveries.load(std::memory_order_relaxed);
    const auto answered = connection.answers();
    // Nothing counts before the first data, nor while there is nothing to
    // follow.
    const auto verdict = watch.look({.now = Clock::now(),
                                     .data = delivered != deliveries || delivered == 0,
                                     .held_up = lifetime.in_foreign_callback() ||
                                                state->unlinked.load(std::memory_order_relaxed),
                                     .answered = answered != answers});
    deliveries = delivered;
    answers = answered;
    if (verdict == StallWatch::Verdict::Lost) {
      lifetime.report_lost();
    } else if (verdict == StallWatch::Verdict::Ask) {
      const Connection::Lock lock(connection);
      state->connection->ask();
    }
  }
}

class CaptureStream final : public Stream {
 public:
  explicit CaptureStream(std::shared_ptr<StreamState> state) : state_(std::move(state)) {}

  ~CaptureStream() override {
    // A callback stuck in a write holds the loop's lock for as long as it
    // is stuck: then the loop is left to the process exit, with all it
    // touches.
    if (!state_->lifetime->release()) {
      state_->connection->abandon(state_);
      return;
    }
    close();
  }

  std::expected<void, PlayStreamError> play() override { return state_->lifetime->play_result(); }

  // Removes our callbacks first: after that the loop never touches the
  // state again. The links go with the proxies.
  void close() {
    auto& s = *state_;
    const Connection::Lock lock(*s.connection);
    s.connection->unwatch(&s);
    if (s.timer != nullptr) pw_loop_destroy_source(s.connection->loop(), s.timer);
    s.timer = nullptr;
    for (auto& [key, link] : s.links) drop(s, link);
    s.links.clear();
    if (s.stream != nullptr) {
      spa_hook_remove(&s.listener);
      s.pw.pw_stream_destroy(s.stream);
      s.stream = nullptr;
    }
  }

 private:
  std::shared_ptr<StreamState> state_;
};

}  // namespace

std::expected<std::unique_ptr<Stream>, BuildStreamError> open_capture_stream(
    const std::shared_ptr<Connection>& connection, const Capture& device,
    const StreamConfig& config, InputDataCallback data_callback, ErrorCallback error_callback,
    Deadline deadline, std::chrono::milliseconds silence_limit) {
  if (config.channels != device.positions.size() || config.channels == 0 ||
      config.channels > SPA_AUDIO_MAX_CHANNELS || config.sample_rate == 0) {
    return std::unexpected(BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
  }
  const CallbackFormat format = callback_format(data_callback);
  spa_audio_info_raw info{};
  if (format.format == SampleFormat::F32) {
    info.format = SPA_AUDIO_FORMAT_F32_LE;
  } else if (format.format == SampleFormat::I16) {
    info.format = SPA_AUDIO_FORMAT_S16_LE;
  } else {
    // PipeWire's streams have no unsigned 16-bit samples.
    return std::unexpected(BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
  }
  info.rate = config.sample_rate;
  info.channels = config.channels;
  std::ranges::copy(device.positions, info.position);

  auto lifetime = StreamLifetime::create(std::move(error_callback));
  if (!lifetime) return std::unexpected(lifetime.error());
  if (connection->lost())
    return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAvailable));
  const auto& pw = connection->pw();
  auto state = std::make_shared<StreamState>(connection, device, std::move(data_callback), config,
                                             format.sample_bytes);
  state->lifetime = std::move(*lifetime);
  auto handle = std::make_unique<CaptureStream>(state);
  {
    const Connection::Lock lock(*connection);
    if (device.kind == Kind::Node) {
      for (const auto& [id, d] : connection->devices()) {
        if (d.serial == device.serial && d.name == device.node) state->target = id;
      }
      if (state->target == SPA_ID_INVALID) {
        return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAvailable));
      }
    }
    // Nobody links the stream but ourselves: the session manager would put
    // it on the default source.
    pw_properties* props =
        pw.pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                             PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true",
                             PW_KEY_MEDIA_NAME, device.listed_name.c_str(), nullptr);
    state->stream = pw.pw_stream_new(connection->core(), "kestravo-capture", props);
    if (state->stream == nullptr) {
      return std::unexpected(BuildStreamError::backend("PipeWire refused a capture stream"));
    }
    pw.pw_stream_add_listener(state->stream, &state->listener, stream_events(), state.get());
    connection->watch(&on_graph_changed, state.get());
    std::uint8_t buffer[2048];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    if (pw.pw_stream_connect(state->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                             PW_STREAM_FLAG_MAP_BUFFERS, params, 1) < 0) {
      return std::unexpected(BuildStreamError::backend("PipeWire refused a capture stream"));
    }
  }
  {
    std::unique_lock lock(state->mutex);
    const bool answered = state->changed.wait_until(lock, deadline.at(),
                                                    [&] { return state->ready || state->failed; });
    if (!state->ready) {
      lock.unlock();
      if (!answered) return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAnswering));
      return std::unexpected(BuildStreamError::of(ErrorKind::DeviceNotAvailable));
    }
  }
  if (silence_limit.count() > 0) {
    auto started = state->lifetime->start_thread(
        "watchdog", [state, silence_limit] { watchdog(state, silence_limit); });
    if (!started) return std::unexpected(started.error());
  }
  return handle;
}

}  // namespace kestravo::audio::pipewire
