// The sound-server host: PulseAudio, or PipeWire through pipewire-pulse.
// Its devices are the server's sources, monitors included, by the names the
// desktop's sound settings show.
#pragma once

#include <memory>

#include "audio/audio.h"
#include "audio/pulse/connection.h"

namespace kestravo::audio::pulse {

// The host over the server libpulse finds as it always does (PULSE_SERVER,
// its runtime directory, client.conf), for an operation whose waits end by
// `budget`; none when libpulse cannot be loaded or no server has answered
// within the tuning's share of the budget. Never starts a server.
std::unique_ptr<Host> connect_host(Deadline budget, const Tuning& tuning = {});

}  // namespace kestravo::audio::pulse
