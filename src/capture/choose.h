// The stream configuration a capture request leads to, decided without
// touching a device.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio.h"
#include "capture/capture.h"

namespace kestravo::capture {

struct StreamChoice {
  audio::StreamConfig config;  // channels = the device channel count, default buffer size
  audio::SampleFormat format;  // always I16, U16 or F32
  friend bool operator==(const StreamChoice&, const StreamChoice&) = default;
};

using Ranges = std::vector<audio::SupportedStreamConfigRange>;

// Reads the device's default input configuration; none when it cannot be
// read. Called at most once, and only when no rate was requested and every
// earlier check has passed.
using DefaultConfigReader = std::function<std::optional<audio::SupportedStreamConfig>()>;

// Decides the configuration from the device's input configuration ranges (or
// the error reading them), its default configuration and the request. The
// checks run in a fixed order and the first that fails is the one reported.
std::expected<StreamChoice, SetupError> choose_stream_config(
    const std::expected<Ranges, audio::SupportedStreamConfigsError>& ranges,
    const DefaultConfigReader& read_default, const CaptureRequest& request);

}  // namespace kestravo::capture
