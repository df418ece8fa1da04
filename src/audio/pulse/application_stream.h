// One application's sound on a PulseAudio server: a record stream for each
// stream the application plays, on its sink's monitor and tied to that
// stream alone (pa_stream_set_monitor_stream), mixed into one stereo
// stream. Streams it starts later join as they appear; while it plays
// nothing the capture keeps time with silence.
//
// What PulseAudio 16 does with such a record stream, which is all that keeps
// anything else out: the server takes the data of the stream it is tied to
// alone, never the monitor's mix; it refuses one on any source but the
// monitor of that stream's sink, refuses to move one, and kills it (no
// move, no other data) when the application's stream ends or is moved to
// another sink. A killed stream is dropped; its application's stream on the
// new sink, if any, gets a new one. pipewire-pulse puts such a stream on the
// microphone instead, so it offers no application devices.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "audio/audio.h"
#include "audio/pulse/connection.h"

namespace kestravo::audio::pulse {

// Opens the capture of `application` (as application_of names it) in
// `config`'s rate: stereo float, whether or not the application plays now.
// A server that has not answered by `deadline` fails it as not answering.
// Only the server going away is a loss.
std::expected<std::unique_ptr<Stream>, BuildStreamError> open_application_stream(
    std::shared_ptr<Connection> connection, std::string application, const StreamConfig& config,
    InputDataCallback data_callback, ErrorCallback error_callback, Deadline deadline);

}  // namespace kestravo::audio::pulse
