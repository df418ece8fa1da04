// A shared-mode, event-driven capture stream of one endpoint.
#pragma once

#include <memory>

#include "audio/audio.h"
#include "audio/wasapi/endpoints.h"

namespace kestravo::audio::wasapi {

// Opens and starts the stream on a thread of its own, which then takes every
// packet the endpoint delivers. Waits for the open until `deadline` at most.
std::expected<std::unique_ptr<Stream>, BuildStreamError> open_capture_stream(
    const Endpoint& endpoint, const StreamConfig& config, InputDataCallback data_callback,
    ErrorCallback error_callback, Deadline deadline);

}  // namespace kestravo::audio::wasapi
