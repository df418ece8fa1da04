#include "listing/listing.h"

#include <algorithm>
#include <utility>

#include "protocol/send.h"
#include "text/utf8.h"

namespace kestravo::listing {

namespace {

// The entry for one input device, or none when the device drops out.
std::optional<protocol::DriverInfo> describe(audio::Host& host, const audio::Device& device) {
  auto raw_name = device.name();
  if (!raw_name) return std::nullopt;

  // input_devices keeps only the verdict of its query, so the list is read
  // again; a device can lose its configurations in between and then drops out.
  const auto configs = device.supported_input_configs();
  if (!configs || configs->empty()) return std::nullopt;

  std::uint16_t channels = 0;
  for (const auto& range : *configs) channels = std::max(channels, range.channels);
  if (channels == 0) return std::nullopt;

  double sample_rate = 0;
  if (const auto default_config = device.default_input_config()) {
    sample_rate = static_cast<double>(default_config->sample_rate);
  } else {
    sample_rate = static_cast<double>(configs->front().max_sample_rate);
    for (const auto& range : *configs) {
      sample_rate = std::max(sample_rate, static_cast<double>(range.max_sample_rate));
    }
  }

  // The lookup compares raw bytes, so it gets the name as the host gave it,
  // not its decoded form.
  std::optional<std::vector<std::string>> names;
  if (const auto id = host.get_device_id_from_name(*raw_name)) {
    names = channel_names(host, *id, channels);
  }

  return protocol::DriverInfo{text::utf8_lossy(*raw_name), channels, sample_rate, std::move(names)};
}

}  // namespace

protocol::DriversRecord collect_drivers(audio::Host& host) {
  protocol::DriversRecord record;
  auto devices = audio::input_devices(host);
  if (!devices) return record;
  for (const auto& device : *devices) {
    if (auto entry = describe(host, *device)) record.drivers.push_back(std::move(*entry));
  }
  return record;
}

void list_drivers(audio::Host& host) { protocol::write_to_standard_output(collect_drivers(host)); }

std::vector<std::string> channel_names(audio::Host& host, const audio::DeviceId& device,
                                       std::uint32_t count) {
  std::vector<std::string> names;
  names.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    names.push_back(channel_name(host, device, i + 1).value_or(std::string{}));
  }
  return names;
}

std::optional<std::string> channel_name(audio::Host& host, const audio::DeviceId& device,
                                        std::uint32_t element) {
  auto raw = host.channel_name(device, element);
  if (!raw) return std::nullopt;
  return text::utf8_lossy(*raw);
}

}  // namespace kestravo::listing
