// A record stream on one source. The data callback runs on libpulse's main
// loop thread, which holds the loop's lock meanwhile; a callback stuck in a
// write would make stopping the loop (or taking its lock) wait for ever, so
// a release that finds one stuck leaves the loop, and everything it
// touches, to the process exit.
#pragma once

#include <expected>
#include <memory>

#include "audio/audio.h"
#include "audio/pulse/connection.h"

namespace kestravo::audio::pulse {

// Opens a record stream on `source` in `config`'s rate, with the source's
// own channels and channel map, in the element type of the data callback.
// `watch_silence`: report the device lost when data stops for good while
// the server still answers (see Tuning::silence_limit and StallWatch). A
// server that has not set the stream up by `deadline` fails it as not
// answering.
std::expected<std::unique_ptr<Stream>, BuildStreamError> open_record_stream(
    std::shared_ptr<Connection> connection, const Source& source, const StreamConfig& config,
    InputDataCallback data_callback, ErrorCallback error_callback, bool watch_silence,
    Deadline deadline);

}  // namespace kestravo::audio::pulse
