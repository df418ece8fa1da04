// The sound-server host: PulseAudio, or PipeWire through pipewire-pulse.
// Its devices are the server's sources, monitors included, by the names the
// desktop's sound settings show.
#pragma once

#include <memory>

#include "audio/audio.h"
#include "audio/pulse/connection.h"

namespace kestravo::audio::pulse {

// The host over the server libpulse finds as it always does (PULSE_SERVER,
// its runtime directory, client.conf); none when libpulse cannot be loaded
// or no server answers within the deadlines. Never starts a server.
std::unique_ptr<Host> connect_host(const Tuning& tuning = {});

}  // namespace kestravo::audio::pulse
