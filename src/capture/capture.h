// Capture mode: resolve the request to a device and stream configuration,
// then stream PCM until standard input ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

// Runs the capture on `host` and ends the process with status 0 once the
// lifeline has ended; every failure before the stream runs ends it through
// fail().
[[noreturn]] void run_capture(audio::Host& host, const CaptureRequest& request);

}  // namespace kestravo::capture
