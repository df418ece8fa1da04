// The Windows host: WASAPI's capture endpoints in shared mode.
#pragma once

#include <memory>

#include "audio/audio.h"

namespace kestravo::audio::wasapi {

// Reads the endpoints once, under the deadline every device gets; a system
// that does not answer in time lists no devices.
std::unique_ptr<Host> make_wasapi_host();

}  // namespace kestravo::audio::wasapi
