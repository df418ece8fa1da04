#include "audio/pulse/follow.h"

#include <string>
#include <utility>

namespace kestravo::audio::pulse {

// Everything here runs on the main loop's thread, or with its lock held:
// no lock of its own. At most one question is out at a time; an event that
// comes meanwhile asks again once the answer is in, so a burst of events
// (a device unplugged changes sinks, sources and defaults at once) costs a
// question or two and the last word always counts.
struct Follower::State {
  State(const Libpulse& pa, pa_context* context, pa_stream* stream, Follow follow)
      : pa(pa), context(context), stream(stream), follow(follow) {}

  const Libpulse& pa;
  pa_context* context;
  pa_stream* stream;
  const Follow follow;
  pa_operation* pending = nullptr;  // the question or move under way
  bool again = false;               // something changed while it was
  std::string target;               // the source the stream belongs on

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

  void move_to(const std::string& source) {
    const char* now = pa.pa_stream_get_device_name(stream);
    if (source.empty() || (now != nullptr && source == now)) {
      done();
      return;
    }
    settle(pa.pa_context_move_source_output_by_name(context, pa.pa_stream_get_index(stream),
                                                    source.c_str(), &State::on_moved, this));
  }

  static void on_event(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* self) {
    // Any change of the server (its defaults), of a sink or of a source may
    // change where the stream belongs.
    static_cast<State*>(self)->check();
  }

  static void on_server_info(pa_context*, const pa_server_info* info, void* self) {
    auto& s = *static_cast<State*>(self);
    if (info == nullptr) {
      s.done();
      return;
    }
    if (s.follow == Follow::DefaultSource) {
      s.move_to(info->default_source_name != nullptr ? info->default_source_name : "");
      return;
    }
    s.target.clear();
    if (info->default_sink_name == nullptr) {
      s.done();
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

  static void on_moved(pa_context*, int, void* self) {
    // A move that failed (the source went meanwhile) is followed by the
    // event that says so, and another try.
    static_cast<State*>(self)->done();
  }
};

Follower::Follower(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<Follower> Follower::start(const Connection& connection, pa_stream* stream,
                                          Follow follow) {
  const auto& pa = connection.pa();
  auto state = std::make_unique<State>(pa, connection.context(), stream, follow);
  pa.pa_context_set_subscribe_callback(connection.context(), &State::on_event, state.get());
  const auto mask = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
  pa_operation* op = pa.pa_context_subscribe(connection.context(), mask, nullptr, nullptr);
  if (op == nullptr) {
    pa.pa_context_set_subscribe_callback(connection.context(), nullptr, nullptr);
    return nullptr;
  }
  pa.pa_operation_unref(op);
  // The default may have changed since the stream was placed.
  state->check();
  return std::unique_ptr<Follower>(new Follower(std::move(state)));
}

void Follower::stop() {
  if (!state_) return;
  const auto& pa = state_->pa;
  pa.pa_context_set_subscribe_callback(state_->context, nullptr, nullptr);
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
