// The ALSA host on its own. The real executable's default host picks it
// when no sound server answers.
#pragma once

#include <memory>

#include "audio/audio.h"

namespace kestravo::audio::alsa {

// A host for one listing or capture, whose opens and queries end by
// `budget`.
std::unique_ptr<Host> make_alsa_host(Deadline budget);

}  // namespace kestravo::audio::alsa
