#include "audio/pulse/follow.h"

#include <atomic>
#include <string>
#include <utility>

namespace kestravo::audio::pulse {

// Everything here runs on the main loop's thread, or with its lock held:
// no lock of its own. At most one question is out at a time; an event that
// comes meanwhile asks again once the answer is in, so a burst of events
// (a device unplugged changes sinks, sources and defaults at once) costs a
// question or two and the last word always counts.
struct Follower::State {
  State(const Libpulse& pa, pa_context* context, pa_stream* stream, Follow follow,
        std::shared_ptr<std::atomic<bool>> astray)
      : pa(pa), context(context), stream(stream), follow(follow), astray(std::move(astray)) {}

  const Libpulse& pa;
  pa_context* context;
  pa_stream* stream;
  const Follow follow;
  const std::shared_ptr<std::atomic<bool>> astray;
  // Watching a source of the stream's own: its index, and where its loss
  // is told.
  std::uint32_t watched = PA_INVALID_INDEX;
  std::shared_ptr<StreamLifetime> lifetime;
  pa_operation* pending = nullptr;  // the question or move under way
  bool again = false;               // something changed while it was
  std::string target;               // the source the stream belongs on
  int flushes_left = 0;             // of the flushes after arriving
  bool corked = false;

  // An astray stream is corked as well: the source it is on stops handing
  // it anything then and there, so what is still on its way from there
  // has the move and both flushes to arrive in, and what comes once the
  // stream is uncorked in place is from where it belongs.
  void set_astray(bool now) {
    astray->store(now);
    if (now == corked) return;
    if (pa_operation* op = pa.pa_stream_cork(stream, now ? 1 : 0, nullptr, nullptr)) {
      pa.pa_operation_unref(op);
      corked = now;
    }
  }

  void settle(pa_operation* op) {
    if (pending != nullptr) pa.pa_operation_unref(pending);
    pending = op;
  }

  // Asks which device is the default now.
  void check() {
    if (pending != nullptr) {
      again = true;
      return;
    }
    again = false;
    settle(pa.pa_context_get_server_info(context, &State::on_server_info, this));
  }

  void done() {
    settle(nullptr);
    if (again) check();
  }

  bool in_place() const {
    return follows_in_place(follow, target, pa.pa_stream_get_device_name(stream));
  }

  void move_to(const std::string& source) {
    target = source;
    const char* now = pa.pa_stream_get_device_name(stream);
    if (now != nullptr && !source.empty() && source == now) {
      arrived();
      return;
    }
    // Only a monitor's stream can be somewhere it does not belong.
    if (!in_place()) set_astray(true);
    if (source.empty()) {
      done();
      return;
    }
    settle(pa.pa_context_move_source_output_by_name(context, pa.pa_stream_get_index(stream),
                                                    source.c_str(), &State::on_moved, this));
  }

  // The stream is on the source it belongs on. If it was astray, the server
  // may still hold data from where it was (it sends the news of a move
  // ahead of the data it had queued), so that data is flushed, and the
  // stream passes its data on again only once the flush is done. Blocks
  // the old source had handed over before the move can still be on their
  // way to the server's main thread when it answers the first flush (a
  // loaded server answers the socket first), so the stream is flushed
  // twice: what comes before the second answer is dropped too.
  void arrived() {
    if (!astray->load()) {
      done();
      return;
    }
    flushes_left = 2;
    flush();
  }

  void flush() {
    pa_operation* op = pa.pa_stream_flush(stream, &State::on_flushed, this);
    if (op == nullptr) {
      set_astray(!in_place());
      done();
      return;
    }
    settle(op);
  }

  static void on_flushed(pa_stream*, int, void* self) {
    auto& s = *static_cast<State*>(self);
    if (--s.flushes_left > 0 && s.in_place()) {
      s.flush();
      return;
    }
    s.set_astray(!s.in_place());
    s.done();
  }

  static void on_event(pa_context*, pa_subscription_event_type_t event, std::uint32_t index,
                       void* self) {
    auto& s = *static_cast<State*>(self);
    const bool removed =
        (event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SOURCE &&
        (event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
    if (s.lifetime) {
      if (removed && index == s.watched) s.lifetime->report_lost();
      return;
    }
    // PipeWire puts a stream whose source went on the default source, and
    // says nothing of it: what comes next is not the output's.
    if (s.follow == Follow::DefaultOutput && removed &&
        index == s.pa.pa_stream_get_device_index(s.stream)) {
      s.set_astray(true);
    }
    // Any change of the server (its defaults), of a sink or of a source may
    // change where the stream belongs.
    s.check();
  }

  // The server moved the stream itself: when its source went away,
  // PulseAudio puts it on the default source.
  // Whether it is now where it belongs is settled by the check, which
  // finds it in place and flushes what the server still holds from before.
  static void on_stream_moved(pa_stream*, void* self) {
    auto& s = *static_cast<State*>(self);
    if (!s.in_place()) s.set_astray(true);
    s.check();
  }

  static void on_server_info(pa_context*, const pa_server_info* info, void* self) {
    auto& s = *static_cast<State*>(self);
    if (info == nullptr) {
      s.done();
      return;
    }
    if (s.follow == Follow::DefaultInput) {
      s.move_to(info->default_source_name != nullptr ? info->default_source_name : "");
      return;
    }
    s.target.clear();
    if (info->default_sink_name == nullptr) {
      s.move_to("");
      return;
    }
    s.settle(s.pa.pa_context_get_sink_info_by_name(s.context, info->default_sink_name,
                                                   &State::on_sink_info, &s));
  }

  static void on_sink_info(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto& s = *static_cast<State*>(self);
    if (eol == 0) {
      if (info != nullptr && info->monitor_source_name != nullptr) {
        s.target = info->monitor_source_name;
      }
      return;
    }
    s.move_to(s.target);
  }

  static void on_moved(pa_context*, int success, void* self) {
    // A move that failed (the source went meanwhile) is followed by the
    // event that says so, and another try. One that succeeded is followed
    // by the server's news of it, if that has not come already.
    auto& s = *static_cast<State*>(self);
    if (success != 0 && s.in_place()) {
      s.arrived();
      return;
    }
    s.done();
  }
};

Follower::Follower(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<Follower> Follower::start(const Connection& connection, pa_stream* stream,
                                          Follow follow,
                                          std::shared_ptr<std::atomic<bool>> astray) {
  const auto& pa = connection.pa();
  auto state = std::make_unique<State>(pa, connection.context(), stream, follow, std::move(astray));
  pa.pa_context_set_subscribe_callback(connection.context(), &State::on_event, state.get());
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
  pa_operation* op = pa.pa_context_subscribe(connection.context(), mask, nullptr, nullptr);
  if (op == nullptr) {
    pa.pa_context_set_subscribe_callback(connection.context(), nullptr, nullptr);
    return nullptr;
  }
  pa.pa_operation_unref(op);
  pa.pa_stream_set_moved_callback(stream, &State::on_stream_moved, state.get());
  // The default may have changed since the stream was placed.
  state->check();
  return std::unique_ptr<Follower>(new Follower(std::move(state)));
}

std::unique_ptr<Follower> Follower::watch(const Connection& connection, pa_stream* stream,
                                          std::shared_ptr<StreamLifetime> lifetime) {
  const auto& pa = connection.pa();
  auto state = std::make_unique<State>(pa, connection.context(), stream, Follow::None, nullptr);
  state->watched = pa.pa_stream_get_device_index(stream);
  state->lifetime = std::move(lifetime);
  pa.pa_context_set_subscribe_callback(connection.context(), &State::on_event, state.get());
  pa_operation* op =
      pa.pa_context_subscribe(connection.context(), PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr);
  if (op == nullptr) {
    pa.pa_context_set_subscribe_callback(connection.context(), nullptr, nullptr);
    return nullptr;
  }
  pa.pa_operation_unref(op);
  return std::unique_ptr<Follower>(new Follower(std::move(state)));
}

void Follower::stop() {
  if (!state_) return;
  const auto& pa = state_->pa;
  pa.pa_context_set_subscribe_callback(state_->context, nullptr, nullptr);
  pa.pa_stream_set_moved_callback(state_->stream, nullptr, nullptr);
  if (state_->pending != nullptr) {
    pa.pa_operation_cancel(state_->pending);
    pa.pa_operation_unref(state_->pending);
    state_->pending = nullptr;
  }
  state_.reset();
}

Follower::~Follower() {
  // Still subscribed: the loop may call back at any time, so the state
  // stays for good.
  if (state_) static_cast<void>(state_.release());
}

}  // namespace kestravo::audio::pulse
