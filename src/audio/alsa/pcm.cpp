#include "audio/alsa/pcm.h"

#include <bit>
#include <cstdlib>
#include <mutex>

namespace kestravo::audio::alsa {

namespace {

void discard_diagnostic(const char*, int, const char*, int, const char*, ...) {}

struct HintsFree {
  void operator()(void** hints) const { asound().snd_device_name_free_hint(hints); }
};

std::optional<std::string> hint_field(const void* hint, const char* id) {
  char* value = asound().snd_device_name_get_hint(hint, id);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  std::free(value);
  return text;
}

}  // namespace

void silence_alsa_diagnostics() {
  static std::once_flag once;
  std::call_once(once, [] { asound().snd_lib_error_set_handler(&discard_diagnostic); });
}

std::expected<PcmHandle, int> open_capture(const std::string& name) {
  silence_alsa_diagnostics();
  snd_pcm_t* pcm = nullptr;
  const int err =
      asound().snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (err < 0) return std::unexpected(err);
  return PcmHandle(pcm);
}

HwParams new_hw_params(const snd_pcm_hw_params_t* from) {
  snd_pcm_hw_params_t* params = nullptr;
  if (asound().snd_pcm_hw_params_malloc(&params) < 0) return nullptr;
  if (from != nullptr) asound().snd_pcm_hw_params_copy(params, from);
  return HwParams(params);
}

std::expected<std::vector<Hint>, int> pcm_hints() {
  silence_alsa_diagnostics();
  void** raw = nullptr;
  const int err = asound().snd_device_name_hint(-1, "pcm", &raw);
  if (err < 0) return std::unexpected(err);
  std::unique_ptr<void*, HintsFree> hints(raw);
  std::vector<Hint> list;
  for (void** hint = raw; *hint != nullptr; ++hint) {
    list.push_back(Hint{hint_field(*hint, "NAME"), hint_field(*hint, "IOID")});
  }
  return list;
}

std::optional<snd_pcm_format_t> alsa_format(SampleFormat format) {
  static_assert(std::endian::native == std::endian::little,
                "the host hands ALSA's little-endian samples to callbacks unconverted");
  switch (format) {
    case SampleFormat::I8:
      return SND_PCM_FORMAT_S8;
    case SampleFormat::I16:
      return SND_PCM_FORMAT_S16_LE;
    case SampleFormat::I32:
      return SND_PCM_FORMAT_S32_LE;
    case SampleFormat::U8:
      return SND_PCM_FORMAT_U8;
    case SampleFormat::U16:
      return SND_PCM_FORMAT_U16_LE;
    case SampleFormat::U32:
      return SND_PCM_FORMAT_U32_LE;
    case SampleFormat::F32:
      return SND_PCM_FORMAT_FLOAT_LE;
    case SampleFormat::F64:
      return SND_PCM_FORMAT_FLOAT64_LE;
    case SampleFormat::I64:
    case SampleFormat::U64:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace kestravo::audio::alsa
