// A record stream on one source. libpulse hands the data over on its main
// loop's thread, and stopping that loop waits for whatever runs there, so
// the program's callbacks never run there: the loop thread only copies the
// data into a bounded queue, and a delivery thread of the stream's own calls
// the data and error callbacks. A callback stuck in a write then holds up
// neither the loop nor the release.
#pragma once

#include <expected>
#include <memory>

#include "audio/audio.h"
#include "audio/pulse/connection.h"

namespace kestravo::audio::pulse {

// Opens a record stream on `source` in `config`'s rate, with the source's
// own channels and channel map, in the element type of the data callback.
// `watch_silence`: report the device lost when data stops for good (see
// Tuning::silence_limit).
std::expected<std::unique_ptr<Stream>, BuildStreamError> open_record_stream(
    std::shared_ptr<Connection> connection, const Source& source, const StreamConfig& config,
    InputDataCallback data_callback, ErrorCallback error_callback, bool watch_silence);

}  // namespace kestravo::audio::pulse
