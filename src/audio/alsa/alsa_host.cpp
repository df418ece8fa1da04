// The ALSA host: devices are the hinted PCMs, named by the PCM string that
// opens them again. No PCM stays open between two operations, so listing
// never keeps a device busy, and every operation that opens one ends by the
// deadline of the listing or the capture (bounded_pcm_opener.h).
#include "audio/alsa/alsa_host.h"

#include <algorithm>
#include <cstdlib>

#include "audio/alsa/bounded_pcm_opener.h"
#include "audio/alsa/capture_loop.h"
#include "audio/alsa/configs.h"
#include "audio/alsa/pcm.h"
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
  void operator()(snd_pcm_chmap_query_t** maps) const { asound().snd_pcm_free_chmaps(maps); }
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

using Names = std::vector<std::optional<std::string>>;

// The channel map a capture with `config`'s channel count would run with, as
// the PCM offers it; none when it offers none for that count. Maps offered
// for other channel counts say nothing about this one.
std::optional<Names> offered_channel_names(snd_pcm_t* pcm, const SupportedStreamConfig& config) {
  std::unique_ptr<snd_pcm_chmap_query_t*, ChmapsFree> maps(asound().snd_pcm_query_chmaps(pcm));
  if (maps) {
    for (snd_pcm_chmap_query_t** map = maps.get(); *map != nullptr; ++map) {
      if ((*map)->map.channels == config.channels) return position_names((*map)->map);
    }
  }
  return std::nullopt;
}

// Some PCMs tell their map only once the hardware parameters are set. Setting
// them can start things (a file PCM runs its output command), so this is
// done only for a listing's channel names.
Names configured_channel_names(snd_pcm_t* pcm, const SupportedStreamConfig& config) {
  HwParams params = new_hw_params();
  const auto format = alsa_format(config.sample_format);
  unsigned rate = config.sample_rate;
  if (!params || !format || asound().snd_pcm_hw_params_any(pcm, params.get()) < 0 ||
      asound().snd_pcm_hw_params_set_access(pcm, params.get(), SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
      asound().snd_pcm_hw_params_set_format(pcm, params.get(), *format) < 0 ||
      asound().snd_pcm_hw_params_set_channels(pcm, params.get(), config.channels) < 0 ||
      asound().snd_pcm_hw_params_set_rate_near(pcm, params.get(), &rate, nullptr) < 0 ||
      asound().snd_pcm_hw_params(pcm, params.get()) < 0) {
    return {};
  }
  std::unique_ptr<snd_pcm_chmap_t, ChmapFree> map(asound().snd_pcm_get_chmap(pcm));
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
  int err = asound().snd_pcm_hw_params_any(pcm, p);
  if (err >= 0) err = asound().snd_pcm_hw_params_set_access(pcm, p, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (err >= 0) err = asound().snd_pcm_hw_params_set_format(pcm, p, format);
  if (err >= 0) err = asound().snd_pcm_hw_params_set_channels(pcm, p, config.channels);
  // A rate the PCM cannot run natively is refused, not resampled.
  if (err >= 0) err = asound().snd_pcm_hw_params_set_rate_resample(pcm, p, 0);
  if (err >= 0) err = asound().snd_pcm_hw_params_set_rate(pcm, p, config.sample_rate, 0);
  if (err < 0) return std::unexpected(err);

  const snd_pcm_uframes_t rate = config.sample_rate;
  snd_pcm_uframes_t period =
      config.buffer_frames.value_or(std::max<snd_pcm_uframes_t>(rate / 100, 1));
  err = asound().snd_pcm_hw_params_set_period_size_near(pcm, p, &period, nullptr);
  if (err < 0) return std::unexpected(err);
  // At least 100 ms of buffer (and two periods) gives a consumer that stalls
  // for a moment room before the device overruns; a device that cannot
  // buffer that much gets its largest buffer instead.
  snd_pcm_uframes_t least = std::max<snd_pcm_uframes_t>((rate + 9) / 10, 2 * period);
  HwParams with_least = new_hw_params(p);
  if (with_least &&
      asound().snd_pcm_hw_params_set_buffer_size_min(pcm, with_least.get(), &least) >= 0) {
    params = std::move(with_least);
    p = params.get();
  }
  snd_pcm_uframes_t buffer = std::max<snd_pcm_uframes_t>(rate / 5, 4 * period);
  err = asound().snd_pcm_hw_params_set_buffer_size_near(pcm, p, &buffer);
  if (err < 0) return std::unexpected(err);
  err = asound().snd_pcm_hw_params(pcm, p);
  if (err < 0) return std::unexpected(err);
  int dir = 0;
  err = asound().snd_pcm_hw_params_get_period_size(p, &period, &dir);
  if (err < 0) return std::unexpected(err);

  snd_pcm_sw_params_t* raw_sw = nullptr;
  err = asound().snd_pcm_sw_params_malloc(&raw_sw);
  if (err < 0) return std::unexpected(err);
  const SwParams sw(raw_sw);
  err = asound().snd_pcm_sw_params_current(pcm, sw.get());
  if (err >= 0) err = asound().snd_pcm_sw_params_set_avail_min(pcm, sw.get(), period);
  if (err >= 0) err = asound().snd_pcm_sw_params(pcm, sw.get());
  if (err < 0) return std::unexpected(err);
  return period;
}

// Opens `pcm` and reads its configurations and the channel map it offers
// for its default one; runs on a call's thread.
PcmFacts read_facts(const std::string& pcm_name) {
  auto pcm = open_capture(pcm_name);
  if (!pcm) return PcmFacts{std::unexpected(pcm.error()), {}};
  PcmFacts facts{read_ranges(pcm->get()), {}};
  if (facts.ranges) {
    if (const auto config = pick_default_config(*facts.ranges)) {
      facts.names = offered_channel_names(pcm->get(), *config);
    } else {
      facts.names = Names{};
    }
  }
  return facts;
}

// The channel names of a PCM that offered no map; runs on a call's thread.
Names read_configured_names(const std::string& pcm_name) {
  auto pcm = open_capture(pcm_name);
  if (!pcm) return {};
  auto ranges = read_ranges(pcm->get());
  if (!ranges) return {};
  const auto config = pick_default_config(*ranges);
  if (!config) return {};
  return configured_channel_names(pcm->get(), *config);
}

// A PCM opened, configured and started for capture.
struct OpenedPcm {
  PcmHandle pcm;
  snd_pcm_uframes_t period = 0;
};

class AlsaDevice final : public Device {
 public:
  AlsaDevice(Hint hint, std::shared_ptr<BoundedPcmOpener> opener)
      : hint_(std::move(hint)), opener_(std::move(opener)) {}

  std::expected<std::string, DeviceNameError> name() const override {
    if (!hint_.name) return std::unexpected(DeviceNameError::backend("the PCM hint has no name"));
    return *hint_.name;
  }

  std::expected<Ranges, SupportedStreamConfigsError> supported_input_configs() const override {
    if (hint_.ioid == "Output") return Ranges{};
    if (!hint_.name) {
      return std::unexpected(SupportedStreamConfigsError::backend("the PCM hint has no name"));
    }
    auto facts = opener_->facts(*hint_.name);
    if (!facts) return std::unexpected(facts.error().error<SupportedStreamConfigsError>());
    if (!facts->ranges) {
      return std::unexpected(error_from_errno<SupportedStreamConfigsError>(facts->ranges.error()));
    }
    return *facts->ranges;
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
    auto opened = opener_->ask<std::expected<OpenedPcm, int>>(
        *hint_.name, [pcm_name = *hint_.name, config, format]() -> std::expected<OpenedPcm, int> {
          auto pcm = open_capture(pcm_name);
          if (!pcm) return std::unexpected(pcm.error());
          auto period = configure(pcm->get(), config, format);
          if (!period) return std::unexpected(period.error());
          if (const int err = asound().snd_pcm_start(pcm->get()); err < 0)
            return std::unexpected(err);
          return OpenedPcm{std::move(*pcm), *period};
        });
    if (!opened) return std::unexpected(opened.error().error<BuildStreamError>());
    if (!*opened) return std::unexpected(error_from_errno<BuildStreamError>(opened->error()));
    return start_capture_loop(pcm_io(std::move((*opened)->pcm)),
                              LoopSettings{config.channels, config.sample_rate, (*opened)->period},
                              std::move(data_callback), std::move(error_callback));
  }

 private:
  Hint hint_;
  std::shared_ptr<BoundedPcmOpener> opener_;
};

class AlsaHost final : public Host {
 public:
  explicit AlsaHost(Deadline budget)
      : opener_(std::make_shared<BoundedPcmOpener>(budget, read_facts)) {}

  // Probes every PCM that may capture at once: the walk over input devices
  // that follows then waits for stalled PCMs until the deadline once, and
  // finds everything it asks of the others already read.
  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    auto hints = pcm_hints();
    if (!hints) return std::unexpected(DevicesError::backend(asound().snd_strerror(hints.error())));
    std::vector<std::string> capturing;
    for (const auto& hint : *hints) {
      if (hint.name && hint.ioid != "Output") capturing.push_back(*hint.name);
    }
    opener_->start_probes(capturing);
    std::vector<std::unique_ptr<Device>> list;
    for (auto& hint : *hints)
      list.push_back(std::make_unique<AlsaDevice>(std::move(hint), opener_));
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

  // The names usually come from the same open as the configurations. The
  // listing asks for one channel at a time; the names of the last device
  // that had to be opened again for them are kept, so that it is opened once
  // more, not once per channel.
  std::optional<std::string> channel_name(const DeviceId& device, std::uint32_t element) override {
    if (element == 0) return std::nullopt;
    const auto facts = opener_->facts(device.token);
    if (!facts) return std::nullopt;
    if (const auto& offered = facts->names) return nth(*offered, element);
    if (configured_ && configured_->first == device.token) return nth(configured_->second, element);
    auto read = opener_->ask<Names>(device.token,
                                    [pcm = device.token] { return read_configured_names(pcm); });
    return nth(configured_.emplace(device.token, read.value_or(Names{})).second, element);
  }

 private:
  static std::optional<std::string> nth(const Names& names, std::uint32_t element) {
    if (element > names.size()) return std::nullopt;
    return names[element - 1];
  }

  std::shared_ptr<BoundedPcmOpener> opener_;
  std::optional<std::pair<std::string, Names>> configured_;
};

}  // namespace

}  // namespace kestravo::audio::alsa

namespace kestravo::audio::alsa {

namespace {

// Where alsa-lib cannot be loaded: no devices, and the listing says why.
class NoLibraryHost final : public Host {
 public:
  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    return std::unexpected(DevicesError::backend("alsa-lib (libasound.so.2) cannot be loaded"));
  }
  std::optional<DeviceId> get_device_id_from_name(std::string_view) override {
    return std::nullopt;
  }
  std::optional<std::string> channel_name(const DeviceId&, std::uint32_t) override {
    return std::nullopt;
  }
};

}  // namespace

std::unique_ptr<Host> make_alsa_host(Deadline budget) {
  if (libasound() == nullptr) return std::make_unique<NoLibraryHost>();
  silence_alsa_diagnostics();
  return std::make_unique<AlsaHost>(budget);
}

}  // namespace kestravo::audio::alsa
