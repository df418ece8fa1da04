// The real executable's host on Linux: the sound server when one answers,
// ALSA otherwise. Where a server runs, ALSA shows its plumbing (plugins
// with 32 unnamed channels) rather than the user's devices. On a PipeWire
// desktop the sound server's devices are followed by each playing
// application's sound, which only PipeWire itself offers. A build
// configured for ALSA alone leaves the server out.
#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/alsa/alsa_host.h"
#if KESTRAVO_WITH_SOUND_SERVER
#include "audio/pipewire/pipewire_host.h"
#include "audio/pulse/pulse_host.h"
#endif

namespace kestravo::audio {

#if KESTRAVO_WITH_SOUND_SERVER
namespace {

// The devices of several hosts as one list, each host's in turn. A device
// id carries the index of its host.
class ComposedHost final : public Host {
 public:
  explicit ComposedHost(std::vector<std::unique_ptr<Host>> hosts) : hosts_(std::move(hosts)) {}

  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    std::vector<std::unique_ptr<Device>> all;
    for (const auto& host : hosts_) {
      auto own = host->devices();
      if (!own) return std::unexpected(std::move(own.error()));
      for (auto& device : *own) all.push_back(std::move(device));
    }
    return all;
  }

  // The first device of the whole list with the name, as for one host: a
  // later host's device never shadows an earlier one's.
  std::optional<DeviceId> get_device_id_from_name(std::string_view name) override {
    for (std::size_t i = 0; i < hosts_.size(); ++i) {
      if (auto id = hosts_[i]->get_device_id_from_name(name)) {
        return DeviceId{std::to_string(i) + ":" + id->token};
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> channel_name(const DeviceId& device, std::uint32_t element) override {
    const auto colon = device.token.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::size_t i = 0;
    const auto read = std::from_chars(device.token.data(), device.token.data() + colon, i);
    if (read.ec != std::errc() || i >= hosts_.size()) return std::nullopt;
    return hosts_[i]->channel_name(DeviceId{device.token.substr(colon + 1)}, element);
  }

  std::unique_ptr<Device> unlisted_device(std::string_view name) override {
    for (const auto& host : hosts_) {
      if (auto device = host->unlisted_device(name)) return device;
    }
    return nullptr;
  }

 private:
  std::vector<std::unique_ptr<Host>> hosts_;
};

}  // namespace
#endif

// ALSA gets what is left of the budget after the server's share; PipeWire's
// applications are asked for within their own share, after the server.
std::unique_ptr<Host> default_host(Deadline budget) {
#if KESTRAVO_WITH_SOUND_SERVER
  // Not yet the default: PipeWire spoken to natively, asked for by name.
  if (const char* native = std::getenv("KESTRAVO_PIPEWIRE_HOST");
      native != nullptr && std::string_view(native) == "1") {
    if (auto host = pipewire::connect_native_host(budget)) return host;
  }
  if (auto host = pulse::connect_host(budget)) {
    auto applications = pipewire::connect_application_host(budget);
    if (!applications) return host;
    std::vector<std::unique_ptr<Host>> hosts;
    hosts.push_back(std::move(host));
    hosts.push_back(std::move(applications));
    return std::make_unique<ComposedHost>(std::move(hosts));
  }
#endif
  return alsa::make_alsa_host(budget);
}

}  // namespace kestravo::audio
