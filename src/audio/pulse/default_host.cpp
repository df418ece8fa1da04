// The real executable's host on Linux: the sound server when one answers,
// ALSA otherwise. Where a server runs, ALSA shows its plumbing (plugins
// with 32 unnamed channels) rather than the user's devices.
#include "audio/alsa/alsa_host.h"
#include "audio/pulse/pulse_host.h"

namespace kestravo::audio {

std::unique_ptr<Host> default_host() {
  if (auto host = pulse::connect_host()) return host;
  return alsa::make_alsa_host();
}

}  // namespace kestravo::audio
