#include "audio/pipewire/connection.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "audio/device_names.h"

namespace kestravo::audio::pipewire {

namespace {

std::string_view lookup(const spa_dict* props, const char* key) {
  if (props == nullptr) return {};
  const char* value = spa_dict_lookup(props, key);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

std::uint32_t number(std::string_view text) {
  std::uint32_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

std::shared_ptr<Connection> Connection::open(const Libpipewire& pw, Deadline deadline) {
  std::shared_ptr<Connection> connection(new Connection(pw));
  if (!connection->connect(deadline)) return nullptr;
  return connection;
}

bool Connection::connect(Deadline deadline) {
  thread_loop_ = pw_.pw_thread_loop_new("kestravo-pw", nullptr);
  if (thread_loop_ == nullptr) return false;
  context_ = pw_.pw_context_new(loop(), nullptr, 0);
  if (context_ == nullptr) return false;
  if (pw_.pw_thread_loop_start(thread_loop_) < 0) return false;
  {
    const Lock lock(*this);
    // Never starts a daemon: the native protocol only connects to a socket.
    core_ = pw_.pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) return false;
    static const pw_core_events core_events = {
        .version = PW_VERSION_CORE_EVENTS,
        .info = nullptr,
        .done = &Connection::on_core_done,
        .ping = nullptr,
        .error = &Connection::on_core_error,
        .remove_id = nullptr,
        .bound_id = nullptr,
        .add_mem = nullptr,
        .remove_mem = nullptr,
    };
    pw_core_add_listener(core_, &core_listener_, &core_events, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_ == nullptr) return false;
    static const pw_registry_events registry_events = {
        .version = PW_VERSION_REGISTRY_EVENTS,
        .global = &Connection::on_global,
        .global_remove = &Connection::on_global_remove,
    };
    pw_registry_add_listener(registry_, &registry_listener_, &registry_events, this);
    const std::lock_guard guard(mutex_);
    sync_seq_ = pw_core_sync(core_, PW_ID_CORE, 0);
  }
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline.at(), [&] { return rounds_ >= 2 || failed_; });
  return rounds_ >= 2 && !failed_;
}

Connection::~Connection() {
  if (thread_loop_ == nullptr) return;
  // Stops the loop first: after that no callback runs, and the objects can
  // go in any order.
  pw_.pw_thread_loop_stop(thread_loop_);
  for (auto& [id, node] : playing_) {
    spa_hook_remove(&node.listener);
    pw_.pw_proxy_destroy(node.proxy);
  }
  if (registry_ != nullptr) {
    spa_hook_remove(&registry_listener_);
    pw_.pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  }
  if (core_ != nullptr) {
    spa_hook_remove(&core_listener_);
    pw_.pw_core_disconnect(core_);
  }
  if (context_ != nullptr) pw_.pw_context_destroy(context_);
  pw_.pw_thread_loop_destroy(thread_loop_);
}

std::vector<std::string> Connection::applications() const {
  std::vector<const PlayingNode*> nodes;
  for (const auto& [id, node] : playing_) {
    if (node.known) nodes.push_back(&node);
  }
  std::ranges::stable_sort(nodes, {}, &PlayingNode::serial);
  std::vector<std::string> apps;
  for (const auto* node : nodes) {
    if (std::ranges::find(apps, node->application) == apps.end()) apps.push_back(node->application);
  }
  return apps;
}

void Connection::watch(Changed changed, void* userdata) {
  watchers_.emplace_back(changed, userdata);
}

void Connection::unwatch(void* userdata) {
  std::erase_if(watchers_, [&](const auto& w) { return w.second == userdata; });
}

// Without the loop's lock: a callback stuck on the loop holds it.
void Connection::abandon(std::shared_ptr<void> keep) {
  kept_.push_back(std::move(keep));
  self_ = shared_from_this();
}

void Connection::notify() {
  for (const auto& [changed, userdata] : watchers_) changed(userdata);
}

void Connection::on_core_done(void* self, std::uint32_t id, int seq) {
  auto& c = *static_cast<Connection*>(self);
  if (id != PW_ID_CORE) return;
  {
    const std::lock_guard lock(c.mutex_);
    if (seq != c.sync_seq_) return;
    ++c.rounds_;
    // The nodes bound in the first round answer before the second.
    if (c.rounds_ == 1) c.sync_seq_ = pw_core_sync(c.core_, PW_ID_CORE, seq);
  }
  c.changed_.notify_all();
}

void Connection::on_core_error(void* self, std::uint32_t id, int, int res, const char*) {
  auto& c = *static_cast<Connection*>(self);
  // Only the connection's own end counts: errors of single objects (a link
  // to a port that just went) are not the daemon going away.
  if (id != PW_ID_CORE || res != -EPIPE) return;
  {
    const std::lock_guard lock(c.mutex_);
    c.failed_ = true;
  }
  c.changed_.notify_all();
  c.lost_ = true;
  c.notify();
}

void Connection::on_global(void* self, std::uint32_t id, std::uint32_t, const char* type,
                           std::uint32_t, const spa_dict* props) {
  auto& c = *static_cast<Connection*>(self);
  if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    Port port;
    port.node = number(lookup(props, PW_KEY_NODE_ID));
    port.index = number(lookup(props, PW_KEY_PORT_ID));
    port.output = lookup(props, PW_KEY_PORT_DIRECTION) == "out";
    port.monitor = lookup(props, PW_KEY_PORT_MONITOR) == "true";
    port.channel = lookup(props, PW_KEY_AUDIO_CHANNEL);
    c.ports_[id] = std::move(port);
    c.notify();
    return;
  }
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 ||
      lookup(props, PW_KEY_MEDIA_CLASS) != "Stream/Output/Audio") {
    return;
  }
  // The registry shows only some of a node's properties; the application's
  // binary comes with the node's own.
  auto* proxy = static_cast<pw_proxy*>(
      pw_registry_bind(c.registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
  if (proxy == nullptr) return;
  auto& node = c.playing_[id];
  node.proxy = proxy;
  node.connection = &c;
  const auto serial = lookup(props, PW_KEY_OBJECT_SERIAL);
  std::from_chars(serial.data(), serial.data() + serial.size(), node.serial);
  static const pw_node_events node_events = {
      .version = PW_VERSION_NODE_EVENTS,
      .info =
          [](void* data, const pw_node_info* info) {
            auto* n = static_cast<PlayingNode*>(data);
            if (info == nullptr || (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0) return;
            n->application = application_of(lookup(info->props, PW_KEY_APP_NAME),
                                            lookup(info->props, PW_KEY_APP_PROCESS_BINARY),
                                            lookup(info->props, PW_KEY_NODE_NAME));
            n->known = true;
            n->connection->notify();
          },
      .param = nullptr,
  };
  pw_node_add_listener(reinterpret_cast<pw_node*>(proxy), &node.listener, &node_events, &node);
}

void Connection::forget_node(std::uint32_t id) {
  const auto it = playing_.find(id);
  if (it == playing_.end()) return;
  spa_hook_remove(&it->second.listener);
  pw_.pw_proxy_destroy(it->second.proxy);
  playing_.erase(it);
}

void Connection::on_global_remove(void* self, std::uint32_t id) {
  auto& c = *static_cast<Connection*>(self);
  c.forget_node(id);
  c.ports_.erase(id);
  c.notify();
}

}  // namespace kestravo::audio::pipewire
