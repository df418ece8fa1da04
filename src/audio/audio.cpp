#include "audio/audio.h"

#include <array>

namespace kestravo::audio {

namespace {
constexpr std::array<std::string_view, 10> kFormatNames = {
    "I8", "I16", "I32", "I64", "U8", "U16", "U32", "U64", "F32", "F64",
};
}  // namespace

std::string_view sample_format_name(SampleFormat format) {
  return kFormatNames.at(static_cast<std::size_t>(format));
}

std::optional<SampleFormat> sample_format_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kFormatNames.size(); ++i) {
    if (kFormatNames[i] == name) return static_cast<SampleFormat>(i);
  }
  return std::nullopt;
}

bool supports_input(const Device& device) {
  auto configs = device.supported_input_configs();
  if (!configs) return configs.error().kind == ErrorKind::DeviceNotAnswering;
  return !configs->empty();
}

std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> input_devices(Host& host) {
  auto all = host.devices();
  if (!all) return std::unexpected(std::move(all.error()));
  std::vector<std::unique_ptr<Device>> inputs;
  for (auto& device : *all) {
    if (supports_input(*device)) inputs.push_back(std::move(device));
  }
  return inputs;
}

}  // namespace kestravo::audio
