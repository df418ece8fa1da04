#include "capture/choose.h"

#include <algorithm>

#include "audio/callback_formats.h"
#include "protocol/records.h"

namespace kestravo::capture {

namespace {

using audio::SampleFormat;
using audio::SupportedStreamConfigRange;

std::unexpected<SetupError> error(std::string_view code, std::string message) {
  return std::unexpected(SetupError{code, std::move(message)});
}

}  // namespace

std::expected<StreamChoice, SetupError> choose_stream_config(
    const std::expected<Ranges, audio::SupportedStreamConfigsError>& ranges,
    const DefaultConfigReader& read_default, const CaptureRequest& request) {
  namespace code = protocol::code;
  if (!ranges) return error(code::driver_open_failed, ranges.error().text());
  if (ranges->empty()) {
    return error(code::driver_open_failed, "device reports no supported input configurations");
  }

  std::uint16_t device_channels = 0;
  for (const auto& range : *ranges) device_channels = std::max(device_channels, range.channels);
  if (device_channels == 0)
    return error(code::driver_open_failed, "device reports zero input channels");

  for (const std::uint64_t channel : request.channels) {
    if (channel >= device_channels) {
      return error(code::channel_out_of_range, "channel " + std::to_string(channel) +
                                                   " not available (device has " +
                                                   std::to_string(device_channels) + ")");
    }
  }

  // Narrower ranges are never chosen, even when only they hold the rate:
  // the stream is always built with every channel of the device.
  std::vector<const SupportedStreamConfigRange*> candidates;
  for (const auto& range : *ranges) {
    if (range.channels == device_channels) candidates.push_back(&range);
  }

  std::uint32_t rate = 0;
  SampleFormat format = SampleFormat::F32;
  if (request.sample_rate) {
    rate = *request.sample_rate;
    const auto holds = [rate](const SupportedStreamConfigRange* range) {
      return range->min_sample_rate <= rate && rate <= range->max_sample_rate;
    };
    const auto found = std::find_if(candidates.begin(), candidates.end(), holds);
    if (found == candidates.end()) {
      return error(code::sample_rate_unsupported,
                   "device will not run at " + std::to_string(rate) + " Hz");
    }
    format = (*found)->sample_format;
  } else if (const auto fallback = read_default();
             fallback && fallback->channels == device_channels) {
    // The device's own default is trusted as it is, even at a rate no range
    // reports.
    rate = fallback->sample_rate;
    format = fallback->sample_format;
  } else {
    // Never empty: device_channels was taken over these very ranges.
    rate = candidates.front()->max_sample_rate;
    format = candidates.front()->sample_format;
  }

  if (!audio::decodable(format)) {
    return error(code::sample_format_unsupported,
                 "this device reports a sample format KESTRAVO cannot decode (" +
                     std::string(audio::sample_format_name(format)) +
                     "); capture would otherwise start and produce silence with no error");
  }
  return StreamChoice{audio::StreamConfig{device_channels, rate, std::nullopt}, format};
}

}  // namespace kestravo::capture
