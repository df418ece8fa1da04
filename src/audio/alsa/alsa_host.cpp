// The ALSA host: devices are the hinted PCMs, named by the PCM string that
// opens them again. No PCM stays open between two operations, so listing
// never keeps a device busy, and every operation that opens one is bounded
// by the answer deadline (pcm_calls.h).
#include "audio/alsa/alsa_host.h"

#include <algorithm>
#include <cstdlib>

#include "audio/alsa/capture_loop.h"
#include "audio/alsa/configs.h"
#include "audio/alsa/pcm.h"
#include "audio/alsa/pcm_calls.h"
#include "audio/audio.h"
#include "audio/callback_formats.h"
#include "audio/channel_positions.h"

namespace kestravo::audio::alsa {

namespace {

using Ranges = std::vector<SupportedStreamConfigRange>;

std::expected<Ranges, int> read_ranges(snd_pcm_t* pcm) {
  auto space = PcmParamSpace::probe(pcm);
  if (!space) return std::unexpected(space.error());
  return build_ranges(*space);
}

struct ChmapFree {
  void operator()(snd_pcm_chmap_t* map) const { std::free(map); }
};
struct ChmapsFree {
  void operator()(snd_pcm_chmap_query_t** maps) const { snd_pcm_free_chmaps(maps); }
};

std::vector<std::optional<std::string>> position_names(const snd_pcm_chmap_t& map) {
  std::vector<std::optional<std::string>> names;
  for (unsigned i = 0; i < map.channels; ++i) {
    const unsigned position = map.pos[i] & SND_CHMAP_POSITION_MASK;
    const auto known = channel_position_from_alsa(position);
    names.push_back(known ? std::optional<std::string>(channel_position_name(*known))
                          : std::nullopt);
  }
  return names;
}

// The channel map a capture with `config`'s channel count would run with.
// Maps offered for other channel counts say nothing about this one.
std::vector<std::optional<std::string>> read_channel_names(snd_pcm_t* pcm,
                                                           const SupportedStreamConfig& config) {
  std::unique_ptr<snd_pcm_chmap_query_t*, ChmapsFree> maps(snd_pcm_query_chmaps(pcm));
  if (maps) {
    for (snd_pcm_chmap_query_t** map = maps.get(); *map != nullptr; ++map) {
      if ((*map)->map.channels == config.channels) return position_names((*map)->map);
    }
  }
  // Some PCMs tell their map only once the hardware parameters are set.
  HwParams params = new_hw_params();
  const auto format = alsa_format(config.sample_format);
  unsigned rate = config.sample_rate;
  if (!params || !format || snd_pcm_hw_params_any(pcm, params.get()) < 0 ||
      snd_pcm_hw_params_set_access(pcm, params.get(), SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
      snd_pcm_hw_params_set_format(pcm, params.get(), *format) < 0 ||
      snd_pcm_hw_params_set_channels(pcm, params.get(), config.channels) < 0 ||
      snd_pcm_hw_params_set_rate_near(pcm, params.get(), &rate, nullptr) < 0 ||
      snd_pcm_hw_params(pcm, params.get()) < 0) {
    return {};
  }
  std::unique_ptr<snd_pcm_chmap_t, ChmapFree> map(snd_pcm_get_chmap(pcm));
  if (!map || map->channels != config.channels) return {};
  return position_names(*map);
}

// Configures `pcm` for `config` in `format` and returns the period size.
// The period and the buffer are always set: left alone, plugin PCMs pick
// 1-frame periods or buffers of hundreds of millions of frames.
std::expected<snd_pcm_uframes_t, int> configure(snd_pcm_t* pcm, const StreamConfig& config,
                                                snd_pcm_format_t format) {
  HwParams params = new_hw_params();
  if (!params) return std::unexpected(-ENOMEM);
  snd_pcm_hw_params_t* p = params.get();
  int err = snd_pcm_hw_params_any(pcm, p);
  if (err >= 0) err = snd_pcm_hw_params_set_access(pcm, p, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (err >= 0) err = snd_pcm_hw_params_set_format(pcm, p, format);
  if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm, p, config.channels);
  // A rate the PCM cannot run natively is refused, not resampled.
  if (err >= 0) err = snd_pcm_hw_params_set_rate_resample(pcm, p, 0);
  if (err >= 0) err = snd_pcm_hw_params_set_rate(pcm, p, config.sample_rate, 0);
  if (err < 0) return std::unexpected(err);

  const snd_pcm_uframes_t rate = config.sample_rate;
  snd_pcm_uframes_t period =
      config.buffer_frames.value_or(std::max<snd_pcm_uframes_t>(rate / 100, 1));
  err = snd_pcm_hw_params_set_period_size_near(pcm, p, &period, nullptr);
  if (err < 0) return std::unexpected(err);
  // At least 100 ms of buffer (and two periods) gives a consumer that stalls
  // for a moment room before the device overruns; a device that cannot
  // buffer that much gets its largest buffer instead.
  snd_pcm_uframes_t least = std::max<snd_pcm_uframes_t>((rate + 9) / 10, 2 * period);
  HwParams with_least = new_hw_params(p);
  if (with_least && snd_pcm_hw_params_set_buffer_size_min(pcm, with_least.get(), &least) >= 0) {
    params = std::move(with_least);
    p = params.get();
  }
  snd_pcm_uframes_t buffer = std::max<snd_pcm_uframes_t>(rate / 5, 4 * period);
  err = snd_pcm_hw_params_set_buffer_size_near(pcm, p, &buffer);
  if (err < 0) return std::unexpected(err);
  err = snd_pcm_hw_params(pcm, p);
  if (err < 0) return std::unexpected(err);
  int dir = 0;
  err = snd_pcm_hw_params_get_period_size(p, &period, &dir);
  if (err < 0) return std::unexpected(err);

  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_sw_params_alloca(&sw);
  err = snd_pcm_sw_params_current(pcm, sw);
  if (err >= 0) err = snd_pcm_sw_params_set_avail_min(pcm, sw, period);
  if (err >= 0) err = snd_pcm_sw_params(pcm, sw);
  if (err < 0) return std::unexpected(err);
  return period;
}

// Opens `pcm` and reads its input configurations; runs on a call's thread.
PcmCalls::Ranges probe_ranges(const std::string& pcm_name) {
  auto pcm = open_capture(pcm_name);
  if (!pcm) return std::unexpected(pcm.error());
  return read_ranges(pcm->get());
}

// A PCM opened, configured and started for capture.
struct OpenedPcm {
  PcmHandle pcm;
  snd_pcm_uframes_t period = 0;
};

class AlsaDevice final : public Device {
 public:
  AlsaDevice(Hint hint, std::shared_ptr<PcmCalls> calls, std::optional<PcmCalls::ProbeId> probe)
      : hint_(std::move(hint)), calls_(std::move(calls)), probe_(probe) {}

  std::expected<std::string, DeviceNameError> name() const override {
    if (!hint_.name) return std::unexpected(DeviceNameError::backend("the PCM hint has no name"));
    return *hint_.name;
  }

  std::expected<Ranges, SupportedStreamConfigsError> supported_input_configs() const override {
    if (hint_.ioid == "Output") return Ranges{};
    if (!hint_.name) {
      return std::unexpected(SupportedStreamConfigsError::backend("the PCM hint has no name"));
    }
    auto answer = ask_ranges(*hint_.name);
    if (!answer) return std::unexpected(answer.error().error<SupportedStreamConfigsError>());
    if (!*answer) {
      return std::unexpected(error_from_errno<SupportedStreamConfigsError>(answer->error()));
    }
    return **answer;
  }

  std::expected<SupportedStreamConfig, DefaultStreamConfigError> default_input_config()
      const override {
    auto ranges = supported_input_configs();
    if (!ranges) {
      const auto& e = ranges.error();
      if (e.kind == ErrorKind::DeviceNotAvailable || e.kind == ErrorKind::DeviceNotAnswering) {
        return std::unexpected(DefaultStreamConfigError::of(e.kind));
      }
      if (e.kind == ErrorKind::BackendSpecific) {
        return std::unexpected(DefaultStreamConfigError::backend(e.description));
      }
      return std::unexpected(DefaultStreamConfigError::of(ErrorKind::StreamTypeNotSupported));
    }
    auto config = pick_default_config(*ranges);
    if (!config) {
      return std::unexpected(DefaultStreamConfigError::of(ErrorKind::StreamTypeNotSupported));
    }
    return *config;
  }

  std::expected<std::unique_ptr<Stream>, BuildStreamError> build_input_stream(
      const StreamConfig& config, InputDataCallback data_callback,
      ErrorCallback error_callback) override {
    if (!hint_.name) return std::unexpected(BuildStreamError::backend("the PCM hint has no name"));
    // Every callback format is one of ALSA's.
    const snd_pcm_format_t format =
        alsa_format(callback_format(data_callback).format).value_or(SND_PCM_FORMAT_UNKNOWN);
    auto opened = calls_->ask<std::expected<OpenedPcm, int>>(
        *hint_.name, [pcm_name = *hint_.name, config, format]() -> std::expected<OpenedPcm, int> {
          auto pcm = open_capture(pcm_name);
          if (!pcm) return std::unexpected(pcm.error());
          auto period = configure(pcm->get(), config, format);
          if (!period) return std::unexpected(period.error());
          if (const int err = snd_pcm_start(pcm->get()); err < 0) return std::unexpected(err);
          return OpenedPcm{std::move(*pcm), *period};
        });
    if (!opened) return std::unexpected(opened.error().error<BuildStreamError>());
    if (!*opened) return std::unexpected(error_from_errno<BuildStreamError>(opened->error()));
    return start_capture_loop(pcm_io(std::move((*opened)->pcm)),
                              LoopSettings{config.channels, config.sample_rate, (*opened)->period},
                              std::move(data_callback), std::move(error_callback));
  }

 private:
  // The first query takes the answer of the probe that devices() started; a
  // probe ran beside the others, and a sound card that another probe held at
  // that moment (hw: beside plughw:) answers busy, so only its success or its
  // silence is taken at its word: a failure is asked again, alone.
  std::expected<PcmCalls::Ranges, NoAnswer> ask_ranges(const std::string& pcm) const {
    if (probe_) {
      if (auto probed = calls_->take_probe(*probe_); probed && (!*probed || **probed)) {
        return std::move(*probed);
      }
    }
    return calls_->ask<PcmCalls::Ranges>(pcm, [pcm] { return probe_ranges(pcm); });
  }

  Hint hint_;
  std::shared_ptr<PcmCalls> calls_;
  std::optional<PcmCalls::ProbeId> probe_;
};

class AlsaHost final : public Host {
 public:
  // Probes every PCM that may capture at once: the walk over input devices
  // that follows then waits for stalled PCMs one deadline in all.
  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    auto hints = pcm_hints();
    if (!hints) return std::unexpected(DevicesError::backend(snd_strerror(hints.error())));
    calls_->start_batch();
    std::vector<std::unique_ptr<Device>> list;
    for (auto& hint : *hints) {
      std::optional<PcmCalls::ProbeId> id;
      if (hint.name && hint.ioid != "Output") id = calls_->start_probe(*hint.name, probe_ranges);
      list.push_back(std::make_unique<AlsaDevice>(std::move(hint), calls_, id));
    }
    return list;
  }

  // Walks every hint, playback-only ones included, as the lookup promises.
  std::optional<DeviceId> get_device_id_from_name(std::string_view name) override {
    auto hints = pcm_hints();
    if (!hints) return std::nullopt;
    for (const auto& hint : *hints) {
      if (hint.name.value_or("") == name) return DeviceId{std::string(name)};
    }
    return std::nullopt;
  }

  // The listing asks for one channel at a time; the names of the last device
  // asked about are kept so that its PCM is opened once, not once per channel.
  std::optional<std::string> channel_name(const DeviceId& device, std::uint32_t element) override {
    if (element == 0) return std::nullopt;
    if (!cached_ || cached_->first != device.token) {
      auto names = calls_->ask<Names>(device.token, [pcm = device.token] { return names_of(pcm); });
      cached_.emplace(device.token, names.value_or(Names{}));
    }
    const auto& names = cached_->second;
    if (element > names.size()) return std::nullopt;
    return names[element - 1];
  }

 private:
  using Names = std::vector<std::optional<std::string>>;

  static Names names_of(const std::string& pcm_name) {
    auto pcm = open_capture(pcm_name);
    if (!pcm) return {};
    auto ranges = read_ranges(pcm->get());
    if (!ranges) return {};
    const auto config = pick_default_config(*ranges);
    if (!config) return {};
    return read_channel_names(pcm->get(), *config);
  }

  std::shared_ptr<PcmCalls> calls_ = std::make_shared<PcmCalls>();
  std::optional<std::pair<std::string, Names>> cached_;
};

}  // namespace

}  // namespace kestravo::audio::alsa

namespace kestravo::audio::alsa {

std::unique_ptr<Host> make_alsa_host() {
  silence_alsa_diagnostics();
  return std::make_unique<AlsaHost>();
}

}  // namespace kestravo::audio::alsa
