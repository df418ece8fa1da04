// Listing mode: one drivers record on standard output.
#pragma once

#include "audio/audio.h"

namespace kestravo::listing {

// Writes the drivers record for `host`'s input devices. Never fails.
void list_drivers(audio::Host& host);

}  // namespace kestravo::listing
