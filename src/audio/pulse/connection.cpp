#include "audio/pulse/connection.h"

#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <system_error>
#include <utility>

namespace kestravo::audio::pulse {

namespace {

std::string text(const char* s) { return s != nullptr ? std::string(s) : std::string(); }

// The system call itself rather than libc's poll, which marks every call as
// a thread-cancellation point in a program with threads: a few dozen
// instructions on every turn of the loop. No thread here is ever cancelled.
int poll_fds(pollfd* fds, unsigned long count, int timeout_ms) {
  timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000};
  return static_cast<int>(
      ::syscall(SYS_ppoll, fds, count, timeout_ms < 0 ? nullptr : &timeout, nullptr, 0));
}

SampleFormat format_of(pa_sample_format_t format) {
  // The server converts anything else; F32 loses nothing of any format.
  return format == PA_SAMPLE_S16LE ? SampleFormat::I16 : SampleFormat::F32;
}

}  // namespace

bool is_pipewire(std::string_view server_name) {
  return server_name.find("PipeWire") != std::string_view::npos;
}

SinkInput sink_input_of(const Libpulse& pa, const pa_sink_input_info& info) {
  const auto property = [&](const char* key) {
    const char* value = pa.pa_proplist_gets(info.proplist, key);
    return std::string_view(value != nullptr ? value : "");
  };
  return {.index = info.index,
          .sink = info.sink,
          .from_client = info.client != PA_INVALID_INDEX,
          .application = std::string(application_of(property(PA_PROP_APPLICATION_NAME),
                                                    property(PA_PROP_APPLICATION_PROCESS_BINARY),
                                                    info.name != nullptr ? info.name : ""))};
}

std::shared_ptr<Connection> Connection::open(const Libpulse& pa, const Tuning& tuning,
                                             Deadline deadline) {
  std::shared_ptr<Connection> connection(new Connection(pa, tuning));
  if (!connection->connect(deadline)) return nullptr;
  return connection;
}

bool Connection::connect(Deadline deadline) {
  loop_ = pa_.pa_mainloop_new();
  if (loop_ == nullptr) return false;
  pa_.pa_mainloop_set_poll_func(loop_, &Connection::poll_unlocked, this);
  context_ = pa_.pa_context_new(pa_.pa_mainloop_get_api(loop_), "kestravo-core-audio-capture");
  if (context_ == nullptr) return false;
  pa_.pa_context_set_state_callback(context_, &Connection::on_context_state, this);
  if (pa_.pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
  if (!start_loop()) return false;
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline.at(),
                      [&] { return state_ == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state_); });
  return state_ == PA_CONTEXT_READY;
}

// The loop runs on a thread of ours rather than libpulse's threaded loop, so
// that its streams can act once per turn (add_turn_end) without waking the
// loop up again for it.
bool Connection::start_loop() {
  // Signals are for the program's other threads, as with libpulse's own.
  sigset_t all;
  sigset_t before;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, &before);
  try {
    loop_thread_ = std::thread([this] { run_loop(); });
  } catch (const std::system_error&) {
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return loop_thread_.joinable();
}

void Connection::run_loop() {
  const Lock lock(*this);
  while (pa_.pa_mainloop_iterate(loop_, 1, nullptr) >= 0) {
    // No turn-end callback adds or removes one (see add_turn_end).
    for (const auto& [at_turn_end, userdata] : turn_ends_) at_turn_end(userdata);
  }
}

int Connection::poll_unlocked(struct pollfd* fds, unsigned long count, int timeout, void* self) {
  auto& c = *static_cast<Connection*>(self);
  if (c.longest_wait_ms_ >= 0 && (timeout < 0 || timeout > c.longest_wait_ms_)) {
    timeout = c.longest_wait_ms_;
  }
  c.loop_lock_.unlock();
  const int ready = poll_fds(fds, count, timeout);
  const int error = errno;
  c.loop_lock_.lock();
  errno = error;
  return ready;
}

void Connection::add_turn_end(TurnEnd at_turn_end, void* userdata) {
  turn_ends_.emplace_back(at_turn_end, userdata);
}

void Connection::turn_at_least_every(std::chrono::milliseconds interval) {
  longest_wait_ms_ = static_cast<int>(interval.count());
}

void Connection::remove_turn_end(void* userdata) {
  std::erase_if(turn_ends_, [&](const auto& entry) { return entry.second == userdata; });
}

Connection::~Connection() {
  if (context_ != nullptr) {
    const Lock lock(*this);
    pa_.pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_.pa_context_disconnect(context_);
    pa_.pa_context_unref(context_);
  }
  if (loop_thread_.joinable()) {
    if (loop_thread_.get_id() == std::this_thread::get_id()) {
      // Released from one of its own callbacks: the loop is left to the
      // process exit, as it cannot wait for itself.
      loop_thread_.detach();
      return;
    }
    // A connection whose stream's callback got stuck is abandoned, never
    // destroyed; no other callback blocks, so this waits only for the
    // loop's wake-up.
    {
      const Lock lock(*this);
      pa_.pa_mainloop_quit(loop_, 0);
    }
    loop_thread_.join();
  }
  if (loop_ != nullptr) pa_.pa_mainloop_free(loop_);
}

std::optional<ServerSnapshot> Connection::snapshot(Deadline deadline) {
  {
    Lock lock(*this);
    pa_operation* op = pa_.pa_context_get_server_info(context_, &Connection::on_server_info, this);
    if (op == nullptr) return std::nullopt;
    pa_.pa_operation_unref(op);
  }
  {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline.at(),
                             [&] { return have_server_info_ || !PA_CONTEXT_IS_GOOD(state_); }) ||
        !have_server_info_) {
      return std::nullopt;
    }
  }
  {
    Lock lock(*this);
    pa_operation* op =
        pa_.pa_context_get_source_info_list(context_, &Connection::on_source_info, this);
    if (op == nullptr) return std::nullopt;
    pa_.pa_operation_unref(op);
  }
  {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline.at(),
                             [&] { return sources_done_ || !PA_CONTEXT_IS_GOOD(state_); }) ||
        !sources_done_ || sources_failed_) {
      return std::nullopt;
    }
  }
  // One application's sound is offered by PulseAudio alone: pipewire-pulse
  // puts a monitor stream whose application stopped on the microphone.
  std::vector<std::string> applications;
  if (!is_pipewire(server_name_)) {
    {
      Lock lock(*this);
      pa_operation* op =
          pa_.pa_context_get_sink_input_info_list(context_, &Connection::on_sink_input_info, this);
      if (op == nullptr) return std::nullopt;
      pa_.pa_operation_unref(op);
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline.at(),
                             [&] { return sink_inputs_done_ || !PA_CONTEXT_IS_GOOD(state_); }) ||
        !sink_inputs_done_) {
      return std::nullopt;
    }
    applications = playing_applications(sink_inputs_);
  }
  std::unique_lock lock(mutex_);
  return ServerSnapshot{server_name_, arrange_sources(std::move(sources_), default_source_,
                                                      default_sink_, applications)};
}

void Connection::on_sink_input_info(pa_context*, const pa_sink_input_info* info, int eol,
                                    void* self) {
  auto& c = *static_cast<Connection*>(self);
  {
    std::lock_guard lock(c.mutex_);
    // A list that failed lists no application: the sources still count.
    if (eol != 0) {
      c.sink_inputs_done_ = true;
    } else if (info != nullptr) {
      c.sink_inputs_.push_back(sink_input_of(c.pa_, *info));
    }
  }
  c.changed_.notify_all();
}

void Connection::on_context_state(pa_context* context, void* self) {
  auto& c = *static_cast<Connection*>(self);
  const auto state = c.pa_.pa_context_get_state(context);
  {
    std::lock_guard lock(c.mutex_);
    c.state_ = state;
  }
  c.changed_.notify_all();
}

void Connection::on_server_info(pa_context*, const pa_server_info* info, void* self) {
  auto& c = *static_cast<Connection*>(self);
  {
    std::lock_guard lock(c.mutex_);
    if (info != nullptr) {
      c.server_name_ = text(info->server_name);
      c.default_source_ = text(info->default_source_name);
      c.default_sink_ = text(info->default_sink_name);
      c.have_server_info_ = true;
    }
  }
  c.changed_.notify_all();
}

void Connection::on_source_info(pa_context*, const pa_source_info* info, int eol, void* self) {
  auto& c = *static_cast<Connection*>(self);
  {
    std::lock_guard lock(c.mutex_);
    if (eol != 0) {
      c.sources_done_ = true;
      c.sources_failed_ = eol < 0;
    } else if (info != nullptr && info->name != nullptr) {
      Source s;
      s.index = info->index;
      s.name = info->name;
      s.description = text(info->description);
      s.channels = info->sample_spec.channels;
      s.rate = info->sample_spec.rate;
      s.format = format_of(info->sample_spec.format);
      for (unsigned i = 0; i < info->channel_map.channels && i < PA_CHANNELS_MAX; ++i) {
        s.map.push_back(info->channel_map.map[i]);
      }
      s.monitor = info->monitor_of_sink != PA_INVALID_INDEX;
      s.monitor_of_sink = text(info->monitor_of_sink_name);
      c.sources_.push_back(std::move(s));
    }
  }
  c.changed_.notify_all();
}

}  // namespace kestravo::audio::pulse
