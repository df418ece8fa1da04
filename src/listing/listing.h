// Listing mode: one drivers record on standard output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "protocol/records.h"

namespace kestravo::listing {

// Writes the drivers record for `host`'s input devices. Never fails: a
// problem drops a device or a field, or leaves the list empty, and nothing
// goes to standard error.
void list_drivers(audio::Host& host);

// The record list_drivers writes, without writing it.
protocol::DriversRecord collect_drivers(audio::Host& host);

// `count` names, entry i for channel element i + 1; "" where a channel has no
// readable name.
std::vector<std::string> channel_names(audio::Host& host, const audio::DeviceId& device,
                                       std::uint32_t count);

// The name of channel element `element` (1 for the first channel) as valid
// UTF-8, or none when it cannot be read. An empty name is a name.
std::optional<std::string> channel_name(audio::Host& host, const audio::DeviceId& device,
                                        std::uint32_t element);

}  // namespace kestravo::listing
