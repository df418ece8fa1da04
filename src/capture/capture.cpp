#include "capture/capture.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture/choose.h"
#include "capture/stream_run.h"
#include "protocol/records.h"
#include "text/utf8.h"

namespace kestravo::capture {

namespace {

// The first input device whose name is exactly `name`; devices whose name
// cannot be read are passed over. None when there is no such device.
// The device name is compared as the listing shows it, decoded as UTF-8: the
// driver name arrives decoded too, so a name with ill-formed bytes can still
// be opened by what the listing printed. Valid names compare byte for byte.
// Only a device with the name is asked whether it supports input: the first
// input device of that name is the same device either way, and a device that
// does not answer must not hold up the capture of another.
std::expected<std::unique_ptr<audio::Device>, SetupError> find_input_device(
    audio::Host& host, const std::string& name) {
  auto devices = host.devices();
  if (!devices)
    return std::unexpected(SetupError{protocol::code::driver_not_found, devices.error().text()});
  for (auto& device : *devices) {
    const auto device_name = device->name();
    if (!device_name || text::utf8_lossy(*device_name) != name) continue;
    // `device` names an element of the vector, not a local: without the
    // move it would be copied (and cannot be).
    // cppcheck-suppress returnStdMoveLocal
    if (audio::supports_input(*device)) return std::move(device);
  }
  // Only when no device has the name as its own: a listed name always wins.
  // Then every device's first other name, then every device's second, ...:
  // a name that is one device's own beats a looser name of an earlier one.
  std::vector<std::vector<std::string>> others;
  std::size_t rounds = 0;
  for (const auto& device : *devices) {
    others.push_back(device->other_names());
    rounds = std::max(rounds, others.back().size());
  }
  for (std::size_t round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < devices->size(); ++i) {
      if (round >= others[i].size() || text::utf8_lossy(others[i][round]) != name) continue;
      // cppcheck-suppress returnStdMoveLocal
      if (audio::supports_input(*(*devices)[i])) return std::move((*devices)[i]);
    }
  }
  // Last, a device the host offers by that name without listing it.
  auto unlisted = host.unlisted_device(name);
  if (unlisted && !audio::supports_input(*unlisted)) return nullptr;
  return unlisted;
}

}  // namespace

SetupError run_capture(audio::Host& host, const CaptureRequest& request) {
  auto found = find_input_device(host, request.driver_name);
  if (!found) return found.error();
  const auto& device = *found;
  if (!device) {
    return SetupError{protocol::code::driver_not_found,
                      "no input device named '" + request.driver_name + "'"};
  }

  // Read afresh: nothing from the walk is reused.
  const auto choice = choose_stream_config(
      device->supported_input_configs(),
      [&device]() -> std::optional<audio::SupportedStreamConfig> {
        auto fallback = device->default_input_config();
        if (!fallback) return std::nullopt;  // dropped without a message
        return *fallback;
      },
      request);
  if (!choice) return choice.error();

  return build_and_run(*device, choice->config, choice->format, request.channels);
}

}  // namespace kestravo::capture
