// The Windows host: WASAPI's capture endpoints, and what the render
// endpoints play (loopback), in shared mode.
#pragma once

#include <memory>

#include "audio/audio.h"

namespace kestravo::audio::wasapi {

// Reads the endpoints once, waiting until `budget` at most, the operation's
// one budget, which the capture's open shares; a system that does not
// answer in time lists no devices.
std::unique_ptr<Host> make_wasapi_host(Deadline budget);

}  // namespace kestravo::audio::wasapi
