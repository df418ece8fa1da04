#include "audio/alsa/configs.h"

#include <algorithm>
#include <array>

#include "audio/callback_formats.h"

namespace kestravo::audio::alsa {

namespace {

// ALSA's rate interval says nothing about the rates inside it: a sound card
// with a list of rates reports [lowest, highest]. Probing a few rates that
// no rate list contains tells a continuous PCM from a listed one; any doubt
// falls back to the standard rates, each of which is checked on its own.
bool continuous(const ParamSpace& space, SampleFormat format, unsigned channels, unsigned lo,
                unsigned hi) {
  if (lo == hi) return space.accepts_rate(format, channels, lo);
  const std::array<unsigned, 5> probes = {lo, hi, lo + 1, hi - 1, lo + (hi - lo) / 2};
  for (unsigned rate : probes) {
    if (!space.accepts_rate(format, channels, rate)) return false;
  }
  for (unsigned rate : kStandardRates) {
    if (rate >= lo && rate <= hi && !space.accepts_rate(format, channels, rate)) return false;
  }
  return true;
}

}  // namespace

std::vector<SupportedStreamConfigRange> build_ranges(const ParamSpace& space) {
  std::vector<SupportedStreamConfigRange> ranges;
  for (SampleFormat format : kReportedFormats) {
    if (!space.accepts_format(format)) continue;
    const auto channel_bounds = space.channels(format);
    if (!channel_bounds) continue;
    const unsigned first = std::max(channel_bounds->first, 1u);
    const unsigned last = std::min(channel_bounds->second, kMaxReportedChannels);
    for (unsigned channels = first; channels <= last; ++channels) {
      const auto rate_bounds = space.rates(format, channels);
      if (!rate_bounds) continue;
      const unsigned lo = rate_bounds->first;
      const unsigned hi = std::min<unsigned>(rate_bounds->second, kMaxReportedRate);
      if (lo > hi) continue;
      auto range = [&](std::uint32_t min_rate, std::uint32_t max_rate) {
        return SupportedStreamConfigRange{static_cast<std::uint16_t>(channels), min_rate, max_rate,
                                          SupportedBufferSize{}, format};
      };
      if (continuous(space, format, channels, lo, hi)) {
        ranges.push_back(range(lo, hi));
        continue;
      }
      for (unsigned rate : kStandardRates) {
        if (rate >= lo && rate <= hi && space.accepts_rate(format, channels, rate)) {
          ranges.push_back(range(rate, rate));
        }
      }
    }
  }
  return ranges;
}

std::optional<SupportedStreamConfig> pick_default_config(
    const std::vector<SupportedStreamConfigRange>& ranges) {
  if (ranges.empty()) return std::nullopt;
  std::uint16_t channels = 0;
  for (const auto& range : ranges) channels = std::max(channels, range.channels);

  std::vector<const SupportedStreamConfigRange*> widest;
  for (const auto& range : ranges) {
    if (range.channels == channels) widest.push_back(&range);
  }
  SampleFormat format = widest.front()->sample_format;
  for (SampleFormat candidate : kReportedFormats) {
    if (!decodable(candidate)) continue;
    if (std::ranges::any_of(widest, [&](auto* r) { return r->sample_format == candidate; })) {
      format = candidate;
      break;
    }
  }

  std::uint32_t highest = 0;
  auto allows = [&](std::uint32_t rate) {
    return std::ranges::any_of(widest, [&](auto* r) {
      return r->sample_format == format && r->min_sample_rate <= rate && rate <= r->max_sample_rate;
    });
  };
  for (auto* range : widest) {
    if (range->sample_format == format) highest = std::max(highest, range->max_sample_rate);
  }
  const std::uint32_t rate = allows(48000) ? 48000 : allows(44100) ? 44100 : highest;
  return SupportedStreamConfig{channels, rate, SupportedBufferSize{}, format};
}

std::expected<PcmParamSpace, int> PcmParamSpace::probe(snd_pcm_t* pcm) {
  HwParams base = new_hw_params();
  if (!base) return std::unexpected(-ENOMEM);
  int err = asound().snd_pcm_hw_params_any(pcm, base.get());
  if (err < 0) return std::unexpected(err);
  err = asound().snd_pcm_hw_params_set_access(pcm, base.get(), SND_PCM_ACCESS_RW_INTERLEAVED);
  if (err < 0) return std::unexpected(err);
  // Streams are built without resampling, so the ranges must not count on it.
  err = asound().snd_pcm_hw_params_set_rate_resample(pcm, base.get(), 0);
  if (err < 0) return std::unexpected(err);
  return PcmParamSpace(pcm, std::move(base));
}

HwParams PcmParamSpace::refined(SampleFormat format, std::optional<unsigned> channels) const {
  const auto alsa = alsa_format(format);
  if (!alsa) return nullptr;
  HwParams params = new_hw_params(base_.get());
  if (!params || asound().snd_pcm_hw_params_set_format(pcm_, params.get(), *alsa) < 0)
    return nullptr;
  if (channels && asound().snd_pcm_hw_params_set_channels(pcm_, params.get(), *channels) < 0) {
    return nullptr;
  }
  return params;
}

bool PcmParamSpace::accepts_format(SampleFormat format) const {
  return refined(format, std::nullopt) != nullptr;
}

std::optional<std::pair<unsigned, unsigned>> PcmParamSpace::channels(SampleFormat format) const {
  HwParams params = refined(format, std::nullopt);
  unsigned lo = 0;
  unsigned hi = 0;
  if (!params || asound().snd_pcm_hw_params_get_channels_min(params.get(), &lo) < 0 ||
      asound().snd_pcm_hw_params_get_channels_max(params.get(), &hi) < 0) {
    return std::nullopt;
  }
  return std::pair{lo, hi};
}

std::optional<std::pair<unsigned, unsigned>> PcmParamSpace::rates(SampleFormat format,
                                                                  unsigned channels) const {
  HwParams params = refined(format, channels);
  unsigned lo = 0;
  unsigned hi = 0;
  int dir = 0;
  if (!params || asound().snd_pcm_hw_params_get_rate_min(params.get(), &lo, &dir) < 0 ||
      asound().snd_pcm_hw_params_get_rate_max(params.get(), &hi, &dir) < 0) {
    return std::nullopt;
  }
  return std::pair{lo, hi};
}

bool PcmParamSpace::accepts_rate(SampleFormat format, unsigned channels, unsigned rate) const {
  HwParams params = refined(format, channels);
  return params && asound().snd_pcm_hw_params_test_rate(pcm_, params.get(), rate, 0) == 0;
}

}  // namespace kestravo::audio::alsa
