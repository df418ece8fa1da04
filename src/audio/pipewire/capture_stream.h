// A capture on PipeWire: a stream of our own that nothing links to but
// ourselves. We link it to what the device is (a source's output ports, a
// sink's monitor ports, the desktop's default source or sink as it changes,
// or every node of one application that plays), and to nothing else, so
// neither the session manager's choices nor its absence ever put anything
// else in it: left to the session manager, a capture of a monitor or of an
// application ends on the microphone when its sink or the application goes,
// and ends altogether when the session manager does. Samples are read where
// they lie in the daemon's shared memory.
#pragma once

#include <chrono>
#include <expected>
#include <memory>
#include <string>

#include "audio/audio.h"
#include "audio/pipewire/connection.h"
#include "audio/pipewire/devices.h"

namespace kestravo::audio::pipewire {

// Opens the capture of `device` in `config`'s rate and channels, in the
// element type of the data callback. A node's capture fails when the node
// has gone, and reports the loss when it goes later; an application's and a
// following device's capture open whatever plays, and carry silence that
// keeps time while nothing does. A daemon that has not set the stream up by
// `deadline` fails it as not answering. With a `silence_limit`, a stream
// whose data stops while the daemon answers counts as lost after that long
// (StallWatch).
std::expected<std::unique_ptr<Stream>, BuildStreamError> open_capture_stream(
    const std::shared_ptr<Connection>& connection, const Capture& device,
    const StreamConfig& config, InputDataCallback data_callback, ErrorCallback error_callback,
    Deadline deadline, std::chrono::milliseconds silence_limit = {});

}  // namespace kestravo::audio::pipewire
