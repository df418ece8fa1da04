#include "audio/pipewire/pipewire_host.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "audio/channel_positions.h"
#include "audio/device_names.h"
#include "audio/pipewire/app_stream.h"
#include "audio/pipewire/connection.h"

namespace kestravo::audio::pipewire {

namespace {

// The daemon resamples to any of these for the stream.
constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = 384000;
constexpr std::uint32_t kRate = 48000;
constexpr std::uint16_t kChannels = 2;
constexpr std::string_view kSuffix = " (application)";

struct Application {
  std::string application;  // as application_of names it
  std::string listed_name;
};

class ApplicationDevice final : public Device {
 public:
  ApplicationDevice(std::shared_ptr<Connection> connection, Application application,
                    Deadline budget)
      : connection_(std::move(connection)), application_(std::move(application)), budget_(budget) {}

  std::expected<std::string, DeviceNameError> name() const override {
    return application_.listed_name;
  }

  std::expected<std::vector<SupportedStreamConfigRange>, SupportedStreamConfigsError>
  supported_input_configs() const override {
    return std::vector<SupportedStreamConfigRange>{{.channels = kChannels,
                                                    .min_sample_rate = kMinRate,
                                                    .max_sample_rate = kMaxRate,
                                                    .buffer_size = {},
                                                    .sample_format = SampleFormat::F32}};
  }

  std::expected<SupportedStreamConfig, DefaultStreamConfigError> default_input_config()
      const override {
    return SupportedStreamConfig{.channels = kChannels,
                                 .sample_rate = kRate,
                                 .buffer_size = {},
                                 .sample_format = SampleFormat::F32};
  }

  std::expected<std::unique_ptr<Stream>, BuildStreamError> build_input_stream(
      const StreamConfig& config, InputDataCallback data_callback,
      ErrorCallback error_callback) override {
    return open_application_stream(connection_, application_.application, config,
                                   std::move(data_callback), std::move(error_callback), budget_);
  }

 private:
  std::shared_ptr<Connection> connection_;
  Application application_;
  Deadline budget_;
};

// The graph is read once, when the host is made.
class ApplicationHost final : public Host {
 public:
  ApplicationHost(std::shared_ptr<Connection> connection, std::vector<Application> applications,
                  Deadline budget)
      : connection_(std::move(connection)),
        applications_(std::move(applications)),
        budget_(budget) {}

  std::expected<std::vector<std::unique_ptr<Device>>, DevicesError> devices() override {
    std::vector<std::unique_ptr<Device>> list;
    list.reserve(applications_.size());
    for (const auto& application : applications_) {
      list.push_back(std::make_unique<ApplicationDevice>(connection_, application, budget_));
    }
    return list;
  }

  std::optional<DeviceId> get_device_id_from_name(std::string_view name) override {
    const bool found = std::ranges::any_of(
        applications_, [&](const Application& a) { return a.listed_name == name; });
    if (!found) return std::nullopt;
    return DeviceId{std::string(name)};
  }

  std::optional<std::string> channel_name(const DeviceId&, std::uint32_t element) override {
    if (element == 1) return std::string(channel_position_name(ChannelPosition::FrontLeft));
    if (element == 2) return std::string(channel_position_name(ChannelPosition::FrontRight));
    return std::nullopt;
  }

  // A capture may begin before its application plays.
  std::unique_ptr<Device> unlisted_device(std::string_view name) override {
    if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix) ||
        get_device_id_from_name(name)) {
      return nullptr;
    }
    return std::make_unique<ApplicationDevice>(
        connection_,
        Application{std::string(name.substr(0, name.size() - kSuffix.size())), std::string(name)},
        budget_);
  }

 private:
  std::shared_ptr<Connection> connection_;
  std::vector<Application> applications_;
  Deadline budget_;
};

}  // namespace

std::unique_ptr<Host> connect_application_host(Deadline budget) {
  const Libpipewire* pw = libpipewire();
  if (pw == nullptr) return nullptr;
  auto connection = Connection::open(*pw, budget.within(kSetupShare));
  if (!connection) return nullptr;
  std::vector<std::string> playing;
  {
    const Connection::Lock lock(*connection);
    playing = connection->applications();
  }
  std::vector<Offered> offered;
  offered.reserve(playing.size());
  for (const auto& application : playing) {
    offered.push_back({.key = application,
                       .plain = application_device_name(application),
                       .group = Group::Application,
                       .follow = Follow::None,
                       .is_default = false});
  }
  std::vector<Application> applications;
  applications.reserve(playing.size() + 1);
  for (const auto& listed : list_offered(offered)) {
    applications.push_back({playing[listed.offered], listed.name});
  }
  return std::make_unique<ApplicationHost>(std::move(connection), std::move(applications), budget);
}

}  // namespace kestravo::audio::pipewire
