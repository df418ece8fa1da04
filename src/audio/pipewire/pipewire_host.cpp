#include "audio/pipewire/pipewire_host.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "audio/channel_positions.h"
#include "audio/device_names.h"
#include "audio/pipewire/capture_stream.h"
#include "audio/pipewire/connection.h"
#include "audio/pipewire/devices.h"

namespace kestravo::audio::pipewire {

namespace {

// Whether a daemon's socket is there to be found where libpipewire looks
// for it: PIPEWIRE_REMOTE (a path, or a name in the runtime directory:
// PIPEWIRE_RUNTIME_DIR, XDG_RUNTIME_DIR or USERPROFILE), else "pipewire-0";
// newer libpipewire also tries the system-wide daemon's directory. Loading
// libpipewire costs more than the rest of a start on a machine without
// PipeWire, so it is loaded only then.
bool daemon_socket_exists() {
  const char* remote = std::getenv("PIPEWIRE_REMOTE");
  const std::string name = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
  if (name.front() == '/') return ::access(name.c_str(), F_OK) == 0;
  std::vector<std::string> paths = {"/run/pipewire/" + name};
  for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
    const char* dir = std::getenv(variable);
    if (dir != nullptr && *dir != '\0') {
      paths.push_back(std::string(dir) + "/" + name);
      break;
    }
  }
  return std::ranges::any_of(paths,
                             [](const std::string& p) { return ::access(p.c_str(), F_OK) == 0; });
}

// The daemon resamples to any of these for the stream.
constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = 384000;

class PipeWireDevice final : public Device {
 public:
  PipeWireDevice(std::shared_ptr<Connection> connection, Capture capture, Deadline budget)
      : connection_(std::move(connection)), capture_(std::move(capture)), budget_(budget) {}

  std::expected<std::string, DeviceNameError> name() const override { return capture_.listed_name; }

  std::vector<std::string> other_names() const override {
    // An application's sound answers to its listed name alone.
    if (capture_.kind == Capture::Kind::Application) return {};
    return audio::other_names(capture_.offered);
  }

  std::expected<std::vector<SupportedStreamConfigRange>, SupportedStreamConfigsError>
  supported_input_configs() const override {
    if (capture_.positions.empty()) return std::vector<SupportedStreamConfigRange>{};
    return std::vector<SupportedStreamConfigRange>{
        {.channels = static_cast<std::uint16_t>(capture_.positions.size()),
         .min_sample_rate = kMinRate,
         .max_sample_rate = kMaxRate,
         .buffer_size = {},
         .sample_format = capture_.format}};
  }

  std::expected<SupportedStreamConfig, DefaultStreamConfigError> default_input_config()
      const override {
    return SupportedStreamConfig{.channels = static_cast<std::uint16_t>(capture_.positions.size()),
                                 .sample_rate = capture_.rate,
                                 .buffer_size = {},
                                 .sample_format = capture_.format};
  }

  std::expected<std::unique_ptr<Stream>, BuildStreamError> build_input_stream(
      const StreamConfig& config, InputDataCallback data_callback,
      ErrorCallback error_callback) override {
    // An application that plays nothing delivers nothing, which is no loss.
    const auto limit =
        capture_.kind == Capture::Kind::Application ? std::chrono::milliseconds(0) : kSilenceLimit;
    return open_capture_stream(connection_, capture_, config, std::move(data_callback),
                               std::move(error_callback), budget_, limit);
  }

 private:
  std::shared_ptr<Connection> connection_;
  Capture capture_;
  Deadline budget_;
};

// The graph is read once, when the host is made.
class PipeWireHost final : public Host {
 public:
  PipeWireHost(std::shared_ptr<Connection> connection, std::vector<Capture> devices,
               Deadline budget)
      : connection_(std::move(connection)), devices_(std::move(devices)), budget_(budget) {}

  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    std::vector<std::unique_ptr<Device>> list;
    list.reserve(devices_.size());
    for (const auto& device : devices_) {
      list.push_back(std::make_unique<PipeWireDevice>(connection_, device, budget_));
    }
    return list;
  }

  std::optional<DeviceId> get_device_id_from_name(std::string_view name) override {
    if (find(name) == nullptr) return std::nullopt;
    return DeviceId{std::string(name)};
  }

  std::optional<std::string> channel_name(const DeviceId& device, std::uint32_t element) override {
    const Capture* capture = find(device.token);
    if (capture == nullptr || element == 0 || element > capture->positions.size()) {
      return std::nullopt;
    }
    const auto position = position_from_spa(capture->positions[element - 1]);
    if (!position) return std::nullopt;
    return std::string(channel_position_name(*position));
  }

  // A capture may begin before its application plays.
  std::unique_ptr<Device> unlisted_device(std::string_view name) override {
    const std::string suffix = application_device_name("");
    if (name.size() <= suffix.size() || !name.ends_with(suffix) || find(name) != nullptr) {
      return nullptr;
    }
    auto capture = application_capture(std::string(name.substr(0, name.size() - suffix.size())));
    capture.listed_name = name;
    return std::make_unique<PipeWireDevice>(connection_, std::move(capture), budget_);
  }

 private:
  const Capture* find(std::string_view listed_name) const {
    const auto it = std::ranges::find(devices_, listed_name, &Capture::listed_name);
    return it == devices_.end() ? nullptr : &*it;
  }

  std::shared_ptr<Connection> connection_;
  std::vector<Capture> devices_;
  Deadline budget_;
};

}  // namespace

std::unique_ptr<Host> connect_native_host(Deadline budget) {
  if (!daemon_socket_exists()) return nullptr;
  const Libpipewire* pw = libpipewire();
  if (pw == nullptr) return nullptr;
  auto connection = Connection::open(*pw, budget.within(kSetupShare));
  if (!connection) return nullptr;
  std::vector<Capture> devices;
  {
    const Connection::Lock lock(*connection);
    std::vector<NodeInfo> nodes;
    for (const auto& [id, node] : connection->devices()) {
      if (!node.known) continue;
      nodes.push_back({.serial = node.serial,
                       .name = node.name,
                       .description = node.description,
                       .source = node.source,
                       .sink = node.sink,
                       .format = node.format,
                       .rate = node.rate,
                       .positions = node.positions});
    }
    if (nodes.empty()) return nullptr;
    devices = arrange_devices(std::move(nodes), connection->default_source(),
                              connection->default_sink(), connection->applications());
  }
  return std::make_unique<PipeWireHost>(std::move(connection), std::move(devices), budget);
}

}  // namespace kestravo::audio::pipewire
