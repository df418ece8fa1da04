// The running part of a simulated input stream.
#pragma once

#include <expected>
#include <memory>
#include <optional>

#include "audio/audio.h"
#include "audio/sim/scenario.h"

namespace kestravo::audio::sim {

// Starts delivering what `script` describes to `data_callback` on a thread of
// its own; the first buffer may arrive before this returns. The explicit
// buffers must already have passed check_buffers for the callback's type.
std::expected<std::unique_ptr<Stream>, BuildStreamError> start_stream(
    const StreamScript& script, const StreamConfig& config, std::optional<ScriptedError> play_error,
    InputDataCallback data_callback, ErrorCallback error_callback);

}  // namespace kestravo::audio::sim
