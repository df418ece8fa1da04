// The second half of capture mode: run the stream until the lifeline ends.
#pragma once

#include <cstdint>
#include <span>

#include "audio/audio.h"
#include "capture/capture.h"

namespace kestravo::capture {

// Builds and starts the input stream of `format` (I16, U16 or F32) on
// `device`, writes the ready record, and ends the process with status 0
// within 100 ms of standard input ending. Returns only when the stream could
// not be built or started, with why.
SetupError build_and_run(audio::Device& device, const audio::StreamConfig& config,
                         audio::SampleFormat format, std::span<const std::uint64_t> selected);

}  // namespace kestravo::capture
