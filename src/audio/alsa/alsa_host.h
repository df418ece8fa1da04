// The ALSA host on its own. The real executable's default host picks it
// when no sound server answers.
#pragma once

#include <memory>

#include "audio/audio.h"

namespace kestravo::audio::alsa {

std::unique_ptr<Host> make_alsa_host();

}  // namespace kestravo::audio::alsa
