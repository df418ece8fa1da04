#include "audio/wasapi/wasapi_host.h"

#include <audioclient.h>

#include <algorithm>
#include <chrono>

#include "audio/bounded_call.h"
#include "audio/channel_positions.h"
#include "audio/wasapi/capture_stream.h"
#include "audio/wasapi/endpoints.h"
#include "audio/wasapi/hresult.h"

namespace kestravo::audio::wasapi {

namespace {

// The shared-mode engine converts to any of these (AUDCLNT_STREAMFLAGS_
// AUTOCONVERTPCM), and no rate request changes the endpoint for other
// programs.
constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = 384000;

class WasapiDevice final : public Device {
 public:
  WasapiDevice(Endpoint endpoint, Deadline budget)
      : endpoint_(std::move(endpoint)), budget_(budget) {}

  std::expected<std::string, DeviceNameError> name() const override {
    if (!endpoint_.friendly_name) {
      return std::unexpected(DeviceNameError::backend(hresult_text(endpoint_.name_error)));
    }
    return endpoint_.listed_name;
  }

  std::vector<std::string> other_names() const override {
    return audio::other_names(offered(endpoint_));
  }

  std::expected<std::vector<SupportedStreamConfigRange>, SupportedStreamConfigsError>
  supported_input_configs() const override {
    if (!endpoint_.mix) {
      if (endpoint_.mix_error == AUDCLNT_E_DEVICE_INVALIDATED) {
        return std::unexpected(SupportedStreamConfigsError::of(ErrorKind::DeviceNotAvailable));
      }
      return std::unexpected(
          SupportedStreamConfigsError::backend(failure_text(endpoint_, endpoint_.mix_error)));
    }
    const MixFormat& mix = *endpoint_.mix;
    if (!mix.format || mix.channels == 0) return std::vector<SupportedStreamConfigRange>{};
    return std::vector<SupportedStreamConfigRange>{{
        .channels = mix.channels,
        .min_sample_rate = kMinRate,
        .max_sample_rate = kMaxRate,
        .buffer_size = {},
        .sample_format = *mix.format,
    }};
  }

  std::expected<SupportedStreamConfig, DefaultStreamConfigError> default_input_config()
      const override {
    if (!endpoint_.mix || !endpoint_.mix->format) {
      return std::unexpected(DefaultStreamConfigError::of(ErrorKind::StreamTypeNotSupported));
    }
    const MixFormat& mix = *endpoint_.mix;
    return SupportedStreamConfig{.channels = mix.channels,
                                 .sample_rate = mix.rate,
                                 .buffer_size = {},
                                 .sample_format = *mix.format};
  }

  std::expected<std::unique_ptr<Stream>, BuildStreamError> build_input_stream(
      const StreamConfig& config, InputDataCallback data_callback,
      ErrorCallback error_callback) override {
    return open_capture_stream(endpoint_, config, std::move(data_callback),
                               std::move(error_callback), budget_);
  }

 private:
  Endpoint endpoint_;
  Deadline budget_;
};

// The endpoints are read once, when the host is made: an audio service that
// stops answering later must not cost a deadline per question.
class WasapiHost final : public Host {
 public:
  WasapiHost(std::vector<Endpoint> endpoints, Deadline budget)
      : endpoints_(std::move(endpoints)), budget_(budget) {}

  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    std::vector<std::unique_ptr<Device>> list;
    list.reserve(endpoints_.size());
    for (const auto& endpoint : endpoints_)
      list.push_back(std::make_unique<WasapiDevice>(endpoint, budget_));
    return list;
  }

  std::optional<DeviceId> get_device_id_from_name(std::string_view name) override {
    const auto it = std::ranges::find(endpoints_, name, &Endpoint::listed_name);
    if (it == endpoints_.end()) return std::nullopt;
    return DeviceId{it->id_utf8};
  }

  std::optional<std::string> channel_name(const DeviceId& device, std::uint32_t element) override {
    const auto it = std::ranges::find(endpoints_, device.token, &Endpoint::id_utf8);
    if (it == endpoints_.end() || !it->mix || element == 0) return std::nullopt;
    const auto positions = channel_positions_from_windows_mask(it->mix->channel_mask);
    if (element > positions.size()) return std::nullopt;
    return std::string(channel_position_name(positions[element - 1]));
  }

 private:
  std::vector<Endpoint> endpoints_;
  Deadline budget_;
};

}  // namespace

std::unique_ptr<Host> make_wasapi_host(Deadline budget) {
  std::vector<Endpoint> endpoints;
  if (auto call = BoundedCall<std::vector<Endpoint>>::start(read_endpoints)) {
    if (call->wait_until(budget.at())) endpoints = call->take().value_or(std::vector<Endpoint>{});
  }
  return std::make_unique<WasapiHost>(std::move(endpoints), budget);
}

}  // namespace kestravo::audio::wasapi

namespace kestravo::audio {

std::unique_ptr<Host> default_host(Deadline budget) { return wasapi::make_wasapi_host(budget); }

}  // namespace kestravo::audio
