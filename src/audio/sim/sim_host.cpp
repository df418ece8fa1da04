// Placeholder until the simulated host lands: no devices.
#include "audio/audio.h"

namespace kestravo::audio {

namespace {
class EmptyHost final : public Host {
 public:
  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    return std::vector<std::unique_ptr<Device>>{};
  }
  std::optional<DeviceId> get_device_id_from_name(std::string_view) override {
    return std::nullopt;
  }
  std::optional<std::string> channel_name(const DeviceId&, std::uint32_t) override {
    return std::nullopt;
  }
};
}  // namespace

std::unique_ptr<Host> default_host() { return std::make_unique<EmptyHost>(); }

}  // namespace kestravo::audio
