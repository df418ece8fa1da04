// From what a PCM's hardware parameters accept to the configuration ranges
// and the default configuration the host reports.
#pragma once

#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "audio/alsa/pcm.h"
#include "audio/audio.h"
#include "audio/callback_formats.h"

namespace kestravo::audio::alsa {

// Plugin PCMs (null, file, route, plug) accept a billion channels and rates
// up to 2^32 - 1; reporting those would make every consumer iterate or
// allocate absurdly, so the host reports no more than these.
inline constexpr unsigned kMaxReportedChannels = 32;
inline constexpr std::uint32_t kMaxReportedRate = 384000;

// The formats the host reports, in the order it reports them: those the
// program can decode first, so a range list starts with a usable one.
inline constexpr SampleFormat kReportedFormats[] = {
    SampleFormat::I16, SampleFormat::F32, SampleFormat::U16, SampleFormat::I8,
    SampleFormat::I32, SampleFormat::U8,  SampleFormat::U32, SampleFormat::F64,
};
constexpr bool decodable_formats_lead() {
  for (std::size_t i = 0; i < std::size(kReportedFormats); ++i) {
    if (decodable(kReportedFormats[i]) != (i < kCallbackFormats.size())) return false;
  }
  return true;
}
static_assert(decodable_formats_lead());

inline constexpr std::uint32_t kStandardRates[] = {
    8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000,
};

// What a PCM accepts for RW-interleaved capture without resampling. An
// interface so the range rules can be checked against devices that plugins
// cannot imitate (sound cards with a fixed list of rates).
class ParamSpace {
 public:
  virtual ~ParamSpace() = default;
  virtual bool accepts_format(SampleFormat format) const = 0;
  // Inclusive channel bounds in `format`; none when they cannot be read.
  virtual std::optional<std::pair<unsigned, unsigned>> channels(SampleFormat format) const = 0;
  // Inclusive rate bounds in `format` with `channels`.
  virtual std::optional<std::pair<unsigned, unsigned>> rates(SampleFormat format,
                                                             unsigned channels) const = 0;
  virtual bool accepts_rate(SampleFormat format, unsigned channels, unsigned rate) const = 0;
};

// The ranges: per reported format in order, per channel count from the
// minimum up to the cap, either one continuous rate range or one point range
// per standard rate, so that every rate a range claims really opens.
std::vector<SupportedStreamConfigRange> build_ranges(const ParamSpace& space);

// The default configuration over those ranges: the largest channel count,
// the first decodable format at that count, and 48000 Hz when that is
// possible, else 44100 Hz, else the highest maximum rate. None for no ranges.
std::optional<SupportedStreamConfig> pick_default_config(
    const std::vector<SupportedStreamConfigRange>& ranges);

// ParamSpace over an open PCM. Each question refines a copy of one base
// parameter block, so no answer depends on an earlier question.
class PcmParamSpace final : public ParamSpace {
 public:
  // The error is a negative errno.
  static std::expected<PcmParamSpace, int> probe(snd_pcm_t* pcm);

  bool accepts_format(SampleFormat format) const override;
  std::optional<std::pair<unsigned, unsigned>> channels(SampleFormat format) const override;
  std::optional<std::pair<unsigned, unsigned>> rates(SampleFormat format,
                                                     unsigned channels) const override;
  bool accepts_rate(SampleFormat format, unsigned channels, unsigned rate) const override;

 private:
  PcmParamSpace(snd_pcm_t* pcm, HwParams base) : pcm_(pcm), base_(std::move(base)) {}
  HwParams refined(SampleFormat format, std::optional<unsigned> channels) const;

  snd_pcm_t* pcm_;
  HwParams base_;
};

}  // namespace kestravo::audio::alsa
