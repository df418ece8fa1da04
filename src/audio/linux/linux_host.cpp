// The real executable's host on Linux: the sound server when one answers,
// ALSA otherwise. Where a server runs, ALSA shows its plumbing (plugins
// with 32 unnamed channels) rather than the user's devices. A build
// configured for ALSA alone leaves the server out.
#include "audio/alsa/alsa_host.h"
#if KESTRAVO_WITH_SOUND_SERVER
#include "audio/pulse/pulse_host.h"
#endif

namespace kestravo::audio {

// ALSA gets what is left of the budget after the server's share.
std::unique_ptr<Host> default_host(Deadline budget) {
#if KESTRAVO_WITH_SOUND_SERVER
  if (auto host = pulse::connect_host(budget)) return host;
#endif
  return alsa::make_alsa_host(budget);
}

}  // namespace kestravo::audio
