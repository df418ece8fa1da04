// The real executable's host on Linux: PipeWire spoken to natively where its
// daemon answers and serves sound; the sound server (PulseAudio, or
// PipeWire's compatible server where PipeWire cannot be reached itself)
// when one answers; ALSA otherwise. Where a server runs, ALSA shows its
// plumbing (plugins with 32 unnamed channels) rather than the user's
// devices. A build configured for ALSA alone leaves the servers out.
#include "audio/alsa/alsa_host.h"
#if KESTRAVO_WITH_SOUND_SERVER
#include "audio/pipewire/pipewire_host.h"
#include "audio/pulse/pulse_host.h"
#endif

namespace kestravo::audio {

// Each host answers within its own share of the budget, in turn: PipeWire,
// then the sound server, then ALSA with what is left. PipeWire that runs
// for video alone (beside PulseAudio) serves no sound and is passed over.
std::unique_ptr<Host> default_host(Deadline budget) {
#if KESTRAVO_WITH_SOUND_SERVER
  if (auto host = pipewire::connect_native_host(budget)) return host;
  if (auto host = pulse::connect_host(budget)) return host;
#endif
  return alsa::make_alsa_host(budget);
}

}  // namespace kestravo::audio
