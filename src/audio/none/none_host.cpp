// A host with no devices, for builds without a platform audio library.
#include "audio/audio.h"

namespace kestravo::audio {

namespace {
class NoneHost final : public Host {
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

std::unique_ptr<Host> default_host(Deadline) { return std::make_unique<NoneHost>(); }

}  // namespace kestravo::audio
