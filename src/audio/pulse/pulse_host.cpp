#include "audio/pulse/pulse_host.h"

#include <algorithm>
#include <utility>

#include "audio/pulse/application_stream.h"
#include "audio/pulse/record_stream.h"

namespace kestravo::audio::pulse {

namespace {

// The server resamples to any of these, and no rate request changes the
// source for other programs.
constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = 384000;

class PulseDevice final : public Device {
 public:
  PulseDevice(std::shared_ptr<Connection> connection, Source source, bool watch_silence,
              Deadline budget)
      : connection_(std::move(connection)),
        source_(std::move(source)),
        watch_silence_(watch_silence),
        budget_(budget) {}

  std::expected<std::string, DeviceNameError> name() const override { return source_.listed_name; }

  std::vector<std::string> other_names() const override {
    // An application's sound answers to its listed name alone.
    if (!source_.application.empty()) return {};
    return audio::other_names(offered(source_));
  }

  std::expected<std::vector<SupportedStreamConfigRange>, SupportedStreamConfigsError>
  supported_input_configs() const override {
    if (source_.channels == 0) return std::vector<SupportedStreamConfigRange>{};
    return std::vector<SupportedStreamConfigRange>{{
        .channels = source_.channels,
        .min_sample_rate = kMinRate,
        .max_sample_rate = kMaxRate,
        .buffer_size = {},
        .sample_format = source_.format,
    }};
  }

  std::expected<SupportedStreamConfig, DefaultStreamConfigError> default_input_config()
      const override {
    return SupportedStreamConfig{.channels = source_.channels,
                                 .sample_rate = source_.rate,
                                 .buffer_size = {},
                                 .sample_format = source_.format};
  }

  std::expected<std::unique_ptr<Stream>, BuildStreamError> build_input_stream(
      const StreamConfig& config, InputDataCallback data_callback,
      ErrorCallback error_callback) override {
    if (!source_.application.empty()) {
      return open_application_stream(connection_, source_.application, config,
                                     std::move(data_callback), std::move(error_callback), budget_);
    }
    return open_record_stream(connection_, source_, config, std::move(data_callback),
                              std::move(error_callback), watch_silence_, budget_);
  }

 private:
  std::shared_ptr<Connection> connection_;
  Source source_;
  bool watch_silence_;
  Deadline budget_;
};

// The server is asked once, when the host is made: listing and capture each
// take a few milliseconds, and a server that stops answering later must not
// cost a deadline per question.
class PulseHost final : public Host {
 public:
  PulseHost(std::shared_ptr<Connection> connection, ServerSnapshot snapshot, Deadline budget)
      : connection_(std::move(connection)), snapshot_(std::move(snapshot)), budget_(budget) {}

  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    // PipeWire's session manager can die without the stream noticing.
    const bool watch_silence = is_pipewire(snapshot_.server_name);
    std::vector<std::unique_ptr<Device>> list;
    list.reserve(snapshot_.sources.size());
    for (const auto& source : snapshot_.sources) {
      list.push_back(std::make_unique<PulseDevice>(connection_, source, watch_silence, budget_));
    }
    return list;
  }

  std::optional<DeviceId> get_device_id_from_name(std::string_view name) override {
    const auto* source = find(name);
    if (source == nullptr) return std::nullopt;
    return DeviceId{source->name};
  }

  std::optional<std::string> channel_name(const DeviceId& device, std::uint32_t element) override {
    const auto it = std::ranges::find(snapshot_.sources, device.token, &Source::name);
    if (it == snapshot_.sources.end() || element == 0 || element > it->map.size()) {
      return std::nullopt;
    }
    const auto position = position_from_pulse(it->map[element - 1]);
    if (!position) return std::nullopt;
    return std::string(channel_position_name(*position));
  }

  // A capture may begin before its application plays: on PulseAudio its
  // device is there whether or not it is listed now.
  std::unique_ptr<Device> unlisted_device(std::string_view name) override {
    const std::string suffix = application_device_name("");
    if (is_pipewire(snapshot_.server_name) || name.size() <= suffix.size() ||
        !name.ends_with(suffix) || find(name) != nullptr) {
      return nullptr;
    }
    auto application = application_source(std::string(name.substr(0, name.size() - suffix.size())));
    application.listed_name = name;
    return std::make_unique<PulseDevice>(connection_, std::move(application), false, budget_);
  }

 private:
  const Source* find(std::string_view listed_name) const {
    for (const auto& s : snapshot_.sources) {
      if (s.listed_name == listed_name) return &s;
    }
    return nullptr;
  }

  std::shared_ptr<Connection> connection_;
  ServerSnapshot snapshot_;
  Deadline budget_;
};

}  // namespace

std::unique_ptr<Host> connect_host(Deadline budget, const Tuning& tuning) {
  const Libpulse* pa = libpulse();
  if (pa == nullptr) return nullptr;
  const Deadline setup = budget.within(tuning.setup);
  auto connection = Connection::open(*pa, tuning, setup);
  if (!connection) return nullptr;
  auto snapshot = connection->snapshot(setup);
  if (!snapshot) return nullptr;
  return std::make_unique<PulseHost>(std::move(connection), std::move(*snapshot), budget);
}

}  // namespace kestravo::audio::pulse
