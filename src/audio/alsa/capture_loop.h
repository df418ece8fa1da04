// The callback thread of an ALSA input stream, over a thin layer of the PCM
// calls it makes, so that tests can play a device that overruns, vanishes or
// is suspended — things the null and file plugins never do.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "audio/alsa/pcm.h"
#include "audio/audio.h"

namespace kestravo::audio::alsa {

// The PCM calls of the capture loop, with alsa-lib's signatures and results
// (negative errno on failure). The loop owns its PcmIo and destroys it on
// its own thread when it ends, which is when the PCM is closed.
class PcmIo {
 public:
  virtual ~PcmIo() = default;
  virtual int poll_descriptors_count() = 0;
  virtual int poll_descriptors(std::span<pollfd> fds) = 0;
  virtual int poll_revents(std::span<pollfd> fds, unsigned short* revents) = 0;
  virtual snd_pcm_sframes_t readi(void* buffer, snd_pcm_uframes_t frames) = 0;
  virtual snd_pcm_sframes_t avail_update() = 0;
  virtual int prepare() = 0;
  virtual int start() = 0;
  virtual int resume() = 0;
  virtual snd_pcm_state_t state() = 0;
};

// PcmIo over a real PCM.
std::unique_ptr<PcmIo> pcm_io(PcmHandle pcm);

struct LoopSettings {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  snd_pcm_uframes_t period_frames = 0;
};

// How the loop paces itself when things go wrong. The defaults are the
// host's; tests may shorten them.
struct LoopTuning {
  // Backend-specific stream errors are reported at most this often.
  std::chrono::milliseconds report_interval{1000};
  // More overrun or suspend recoveries than this within one second fail the
  // stream: plugins built on ioplug turn every failure into an overrun, and
  // recovering from those at full speed would spin forever.
  int max_recoveries_per_second = 50;
  // After a failure the loop waits before trying again, doubling the wait up
  // to the maximum until a read succeeds.
  std::chrono::milliseconds backoff_min{10};
  std::chrono::milliseconds backoff_max{500};
  // How long releasing the stream waits for a callback that does not return.
  std::chrono::milliseconds release_wait{kReleaseWait};
};

// Starts the callback thread on `io`, which must be running already, and
// returns the stream that owns the thread. The data callback's element type
// must be the PCM's sample format. On failure to start the thread, an error.
std::expected<std::unique_ptr<Stream>, BuildStreamError> start_capture_loop(
    std::unique_ptr<PcmIo> io, const LoopSettings& settings, InputDataCallback data_callback,
    ErrorCallback error_callback, const LoopTuning& tuning = {});

}  // namespace kestravo::audio::alsa
