// A capture of one application's sound: a stream of our own that nothing
// links to but ourselves. Its links come from every node of that
// application that plays, made as each node appears; while none plays, the
// stream carries silence that keeps time. Leaving the links to the session
// manager would capture the microphone as soon as the application stops.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "audio/audio.h"
#include "audio/pipewire/connection.h"

namespace kestravo::audio::pipewire {

// Opens the capture of `application` (as application_of names it) in
// `config`'s rate, stereo, in the element type of the data callback; it
// opens whether or not the application plays. A daemon that has not set the
// stream up by `deadline` fails it as not answering.
std::expected<std::unique_ptr<Stream>, BuildStreamError> open_application_stream(
    const std::shared_ptr<Connection>& connection, const std::string& application,
    const StreamConfig& config, InputDataCallback data_callback, ErrorCallback error_callback,
    Deadline deadline);

}  // namespace kestravo::audio::pipewire
