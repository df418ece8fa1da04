// The ALSA calls every part of the host shares: quieting alsa-lib, opening a
// PCM, the device hints, and the one mapping from errno to error cases.
#pragma once

#include <cerrno>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/alsa/libasound.h"
#include "audio/audio.h"
#include "audio/errors.h"

namespace kestravo::audio::alsa {

// alsa-lib prints its diagnostics on standard error, where only our status
// lines may go. Every entry point of the host calls this before its first
// ALSA call; only the first call does anything.
void silence_alsa_diagnostics();

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { asound().snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFree {
  void operator()(snd_pcm_hw_params_t* params) const { asound().snd_pcm_hw_params_free(params); }
};
using HwParams = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree>;

struct SwParamsFree {
  void operator()(snd_pcm_sw_params_t* params) const { asound().snd_pcm_sw_params_free(params); }
};
using SwParams = std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree>;

// Opens `name` for capture. Non-blocking, so that a busy device answers
// -EBUSY instead of making us wait for its owner to let go. The error is a
// negative errno.
std::expected<PcmHandle, int> open_capture(const std::string& name);

// A fresh hardware-parameter block, or a copy of `from`.
HwParams new_hw_params(const snd_pcm_hw_params_t* from = nullptr);

// One entry of the PCM hint list. Either field may be missing.
struct Hint {
  std::optional<std::string> name;
  std::optional<std::string> ioid;  // "Input", "Output", or none for both
};

// The PCMs of snd_device_name_hint(-1, "pcm"), in hint order; the error is a
// negative errno.
std::expected<std::vector<Hint>, int> pcm_hints();

// The little-endian ALSA format of a sample format, or none for the formats
// the host never reports (I64, U64).
std::optional<snd_pcm_format_t> alsa_format(SampleFormat format);

// The one place where an ALSA errno (either sign) becomes an error case:
// ENODEV and ENOENT mean the device is not there, EINVAL that it cannot do
// what was asked, anything else is described by snd_strerror.
template <class E>
E error_from_errno(int err) {
  const int code = err < 0 ? -err : err;
  if ((code == ENODEV || code == ENOENT) && E::has(ErrorKind::DeviceNotAvailable)) {
    return E::of(ErrorKind::DeviceNotAvailable);
  }
  if (code == EINVAL) {
    if (E::has(ErrorKind::StreamConfigNotSupported)) {
      return E::of(ErrorKind::StreamConfigNotSupported);
    }
    if (E::has(ErrorKind::InvalidArgument)) return E::of(ErrorKind::InvalidArgument);
  }
  return E::backend(asound().snd_strerror(-code));
}

}  // namespace kestravo::audio::alsa
