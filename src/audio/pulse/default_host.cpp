// The real executable's host on Linux: the sound server when one answers,
// ALSA otherwise. Where a server runs, ALSA shows its plumbing (plugins
// with 32 unnamed channels) rather than the user's devices.
#include "audio/alsa/alsa_host.h"
#include "audio/pulse/pulse_host.h"

namespace kestravo::audio {

// ALSA gets what is left of the budget after the server's share.
std::unique_ptr<Host> default_host(Deadline budget) {
  if (auto host = pulse::connect_host(budget)) return host;
  return alsa::make_alsa_host(budget);
}

}  // namespace kestravo::audio
