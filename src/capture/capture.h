// Capture mode: resolve the request to a device and stream configuration,
// then stream PCM until standard input ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio.h"

namespace kestravo::capture {

// What the command line hands to capture mode.
struct CaptureRequest {
  std::string driver_name;              // compared byte for byte with device names
  std::vector<std::uint64_t> channels;  // zero-based, command-line order, duplicates kept
  std::optional<std::uint32_t> sample_rate;
  friend bool operator==(const CaptureRequest&, const CaptureRequest&) = default;
};

// Why no capture can start: the error record's code and message. The message
// may hold the audio layer's own text, which is not checked to be UTF-8.
struct SetupError {
  std::string_view code;  // one of protocol::code
  std::string message;
  friend bool operator==(const SetupError&, const SetupError&) = default;
};

// Runs the capture on `host` and ends the process with status 0 once the
// lifeline has ended. Returns only when no capture could start, with why:
// the caller reports it and exits, with `host` still alive (a stream that
// failed to start is left to the exit).
SetupError run_capture(audio::Host& host, const CaptureRequest& request);

}  // namespace kestravo::capture
