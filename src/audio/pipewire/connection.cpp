#include "audio/pipewire/connection.h"

#include <pipewire/extensions/metadata.h>
#include <spa/param/audio/raw.h>
#include <spa/param/format-utils.h>
#include <spa/pod/iter.h>
#include <spa/utils/json.h>

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

// The name in a default's value, {"name":"alsa_input.pci-..."}; empty for
// anything else.
std::string default_name(const char* value) {
  if (value == nullptr) return {};
  spa_json outer;
  spa_json object;
  spa_json_init(&outer, value, std::strlen(value));
  if (spa_json_enter_object(&outer, &object) <= 0) return {};
  char key[16];
  while (spa_json_get_string(&object, key, sizeof key) > 0) {
    if (std::strcmp(key, "name") == 0) {
      char name[1024];
      if (spa_json_get_string(&object, name, sizeof name) <= 0) return {};
      return name;
    }
    const char* skipped = nullptr;
    if (spa_json_next(&object, &skipped) <= 0) return {};
  }
  return {};
}

// A device's own format from one of its EnumFormat parameters: the first
// (preferred) value of each property.
void read_format(DeviceNode& node, const spa_pod* param) {
  std::uint32_t media_type = 0;
  std::uint32_t media_subtype = 0;
  if (param == nullptr || spa_format_parse(param, &media_type, &media_subtype) < 0 ||
      media_type != SPA_MEDIA_TYPE_audio || media_subtype != SPA_MEDIA_SUBTYPE_raw) {
    return;
  }
  const auto* object = reinterpret_cast<const spa_pod_object*>(param);
  const auto first = [&](std::uint32_t key) -> const spa_pod* {
    const spa_pod_prop* prop = spa_pod_object_find_prop(object, nullptr, key);
    if (prop == nullptr) return nullptr;
    std::uint32_t n = 0;
    std::uint32_t choice = 0;
    const spa_pod* value = spa_pod_get_values(&prop->value, &n, &choice);
    return n > 0 ? value : nullptr;
  };
  std::uint32_t format = 0;
  std::int32_t rate = 0;
  std::int32_t channels = 0;
  if (const spa_pod* v = first(SPA_FORMAT_AUDIO_format)) spa_pod_get_id(v, &format);
  if (const spa_pod* v = first(SPA_FORMAT_AUDIO_rate)) spa_pod_get_int(v, &rate);
  if (const spa_pod* v = first(SPA_FORMAT_AUDIO_channels)) spa_pod_get_int(v, &channels);
  if (channels <= 0 || channels > static_cast<std::int32_t>(SPA_AUDIO_MAX_CHANNELS)) return;
  std::vector<std::uint32_t> positions(static_cast<std::size_t>(channels),
                                       SPA_AUDIO_CHANNEL_UNKNOWN);
  if (const spa_pod_prop* prop =
          spa_pod_object_find_prop(object, nullptr, SPA_FORMAT_AUDIO_position)) {
    std::uint32_t read[SPA_AUDIO_MAX_CHANNELS];
    const std::uint32_t n =
        spa_pod_copy_array(&prop->value, SPA_TYPE_Id, read, SPA_AUDIO_MAX_CHANNELS);
    for (std::uint32_t i = 0; i < n && i < positions.size(); ++i) positions[i] = read[i];
  }
  node.format = format;
  node.rate = rate > 0 ? static_cast<std::uint32_t>(rate) : 0;
  node.positions = std::move(positions);
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
  for (auto& [id, node] : devices_) {
    spa_hook_remove(&node.listener);
    pw_.pw_proxy_destroy(node.proxy);
  }
  if (defaults_ != nullptr) {
    spa_hook_remove(&defaults_listener_);
    pw_.pw_proxy_destroy(defaults_);
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

std::string Connection::default_device(bool sink) const {
  const std::string& named = sink ? default_sink_ : default_source_;
  if (!named.empty()) return named;
  const DeviceNode* best = nullptr;
  for (const auto& [id, d] : devices_) {
    if ((sink ? d.sink : d.source) && d.known && (best == nullptr || d.priority > best->priority)) {
      best = &d;
    }
  }
  return best != nullptr ? best->name : std::string();
}

void Connection::ask() { pw_core_sync(core_, PW_ID_CORE, 0); }

void Connection::notify() {
  for (const auto& [changed, userdata] : watchers_) changed(userdata);
}

void Connection::on_core_done(void* self, std::uint32_t id, int seq) {
  auto& c = *static_cast<Connection*>(self);
  if (id != PW_ID_CORE) return;
  c.answers_.fetch_add(1, std::memory_order_relaxed);
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
  if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
    if (lookup(props, PW_KEY_METADATA_NAME) == "default" && c.defaults_ == nullptr) {
      c.watch_defaults(id);
    }
    return;
  }
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
  // The classes the sound server's protocol shows as its sources and sinks.
  const auto media_class = lookup(props, PW_KEY_MEDIA_CLASS);
  const bool source = media_class == "Audio/Source" || media_class == "Audio/Source/Virtual" ||
                      media_class == "Audio/Duplex";
  const bool sink = media_class == "Audio/Sink" || media_class == "Audio/Duplex";
  if (source || sink) {
    c.watch_node(id, props, source, sink);
    return;
  }
  if (media_class != "Stream/Output/Audio") return;
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

void Connection::watch_node(std::uint32_t id, const spa_dict* props, bool source, bool sink) {
  auto* proxy = static_cast<pw_proxy*>(
      pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
  if (proxy == nullptr) return;
  auto& node = devices_[id];
  node.proxy = proxy;
  node.connection = this;
  node.source = source;
  node.sink = sink;
  node.name = lookup(props, PW_KEY_NODE_NAME);
  const auto serial = lookup(props, PW_KEY_OBJECT_SERIAL);
  std::from_chars(serial.data(), serial.data() + serial.size(), node.serial);
  static const pw_node_events node_events = {
      .version = PW_VERSION_NODE_EVENTS,
      .info =
          [](void* data, const pw_node_info* info) {
            auto* n = static_cast<DeviceNode*>(data);
            if (info == nullptr || (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0) return;
            const auto name = lookup(info->props, PW_KEY_NODE_NAME);
            if (!name.empty()) n->name = name;
            auto description = lookup(info->props, PW_KEY_NODE_DESCRIPTION);
            if (description.empty()) description = lookup(info->props, PW_KEY_NODE_NICK);
            n->description = description.empty() ? n->name : std::string(description);
            const auto priority = lookup(info->props, PW_KEY_PRIORITY_SESSION);
            std::from_chars(priority.data(), priority.data() + priority.size(), n->priority);
            n->known = true;
            n->connection->notify();
          },
      .param =
          [](void* data, int, std::uint32_t id, std::uint32_t index, std::uint32_t,
             const spa_pod* param) {
            auto* n = static_cast<DeviceNode*>(data);
            if (id != SPA_PARAM_EnumFormat || index != 0) return;
            read_format(*n, param);
            n->connection->notify();
          },
  };
  pw_node_add_listener(reinterpret_cast<pw_node*>(proxy), &node.listener, &node_events, &node);
  pw_node_enum_params(reinterpret_cast<pw_node*>(proxy), 0, SPA_PARAM_EnumFormat, 0, 1, nullptr);
}

void Connection::watch_defaults(std::uint32_t id) {
  defaults_ = static_cast<pw_proxy*>(
      pw_registry_bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
  if (defaults_ == nullptr) return;
  defaults_id_ = id;
  static const pw_metadata_events events = {
      .version = PW_VERSION_METADATA_EVENTS,
      .property = &Connection::on_default,
  };
  pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(defaults_), &defaults_listener_, &events,
                           this);
}

int Connection::on_default(void* self, std::uint32_t subject, const char* key, const char*,
                           const char* value) {
  auto& c = *static_cast<Connection*>(self);
  if (subject != PW_ID_CORE) return 0;
  // No key: every property cleared.
  const std::string_view k = key == nullptr ? std::string_view() : std::string_view(key);
  if (k.empty() || k == "default.audio.source") {
    c.default_source_ = k.empty() ? std::string() : default_name(value);
  }
  if (k.empty() || k == "default.audio.sink") {
    c.default_sink_ = k.empty() ? std::string() : default_name(value);
  }
  c.notify();
  return 0;
}

void Connection::forget_node(std::uint32_t id) {
  if (const auto device = devices_.find(id); device != devices_.end()) {
    spa_hook_remove(&device->second.listener);
    pw_.pw_proxy_destroy(device->second.proxy);
    devices_.erase(device);
  }
  const auto it = playing_.find(id);
  if (it == playing_.end()) return;
  spa_hook_remove(&it->second.listener);
  pw_.pw_proxy_destroy(it->second.proxy);
  playing_.erase(it);
}

void Connection::on_global_remove(void* self, std::uint32_t id) {
  auto& c = *static_cast<Connection*>(self);
  // The session manager's defaults go with it; the last ones it set stay
  // the desktop's until another sets new ones.
  if (c.defaults_ != nullptr && id == c.defaults_id_) {
    spa_hook_remove(&c.defaults_listener_);
    c.pw_.pw_proxy_destroy(c.defaults_);
    c.defaults_ = nullptr;
  }
  c.forget_node(id);
  c.ports_.erase(id);
  c.notify();
}

}  // namespace kestravo::audio::pipewire
