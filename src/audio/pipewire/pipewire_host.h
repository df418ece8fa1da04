// The host for a PipeWire desktop, spoken to natively: the sources, the
// sinks' monitors and the following devices, named and ordered as the sound
// server's protocol shows them on the same daemon, then the sound of each
// application that plays, as a device of its own, "{name} (application)".
#pragma once

#include <chrono>
#include <memory>

#include "audio/audio.h"

namespace kestravo::audio::pipewire {

// The daemon's share of an operation's budget: connecting and reading the
// graph. A daemon that has not answered by then leaves the tool as it is
// without one.
inline constexpr std::chrono::milliseconds kSetupShare{500};

// A capture whose data stops this long, once data has come, while the
// daemon answers and the program could receive, has lost its device
// (StallWatch).
inline constexpr std::chrono::milliseconds kSilenceLimit{3000};

// The host of every device on the PipeWire daemon libpipewire finds, for an
// operation whose waits end by `budget`. None when libpipewire cannot be
// loaded, no daemon has answered within its share, or the daemon serves no
// sound (no source and no sink: PipeWire that runs for video alone).
// Every application that plays now is listed, in the order it began; a
// capture finds any application by its device name, playing or not
// (unlisted_device).
std::unique_ptr<Host> connect_native_host(Deadline budget);

}  // namespace kestravo::audio::pipewire
