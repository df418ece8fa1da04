// What PipeWire offers beside the sound server's sources: the sound of each
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

// The host of the application devices on the PipeWire daemon libpipewire
// finds, for an operation whose waits end by `budget`: every application
// that plays now, in the order it began, and for a capture any application
// by its device name, playing or not (unlisted_device). None
// when libpipewire cannot be loaded or no daemon has answered within its
// share.
std::unique_ptr<Host> connect_application_host(Deadline budget);

}  // namespace kestravo::audio::pipewire
