// The listing's decisions, on a host whose every answer the test scripts.
#include "listing/listing.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

namespace kestravo::listing {
namespace {

using audio::DeviceNameError;
using audio::ErrorKind;
using audio::SupportedStreamConfigRange;
using audio::SupportedStreamConfigsError;
using protocol::DriverInfo;
using Names = std::vector<std::string>;
using Configs = std::expected<std::vector<SupportedStreamConfigRange>, SupportedStreamConfigsError>;

SupportedStreamConfigRange range(std::uint16_t channels, std::uint32_t min_rate,
                                 std::uint32_t max_rate) {
  return {channels, min_rate, max_rate, {}, audio::SampleFormat::F32};
}

struct DeviceSpec {
  std::expected<std::string, DeviceNameError> name;
  // One answer per configurations query; the last one repeats.
  std::vector<Configs> configs;
  std::optional<std::uint32_t> default_rate;
};

class FakeDevice final : public audio::Device {
 public:
  explicit FakeDevice(DeviceSpec spec) : spec_(std::move(spec)) {}
  std::expected<std::string, DeviceNameError> name() const override { return spec_.name; }
  Configs supported_input_configs() const override {
    if (spec_.configs.empty()) return std::vector<SupportedStreamConfigRange>{};
    return spec_.configs[std::min(calls_++, spec_.configs.size() - 1)];
  }
  std::expected<audio::SupportedStreamConfig, audio::DefaultStreamConfigError>
  default_input_config() const override {
    if (!spec_.default_rate) {
      return std::unexpected(audio::DefaultStreamConfigError::backend("no default"));
    }
    return audio::SupportedStreamConfig{2, *spec_.default_rate, {}, audio::SampleFormat::F32};
  }
  std::expected<std::unique_ptr<audio::Stream>, audio::BuildStreamError> build_input_stream(
      const audio::StreamConfig&, audio::InputDataCallback, audio::ErrorCallback) override {
    return std::unexpected(audio::BuildStreamError::of(ErrorKind::DeviceNotAvailable));
  }

 private:
  DeviceSpec spec_;
  mutable std::size_t calls_ = 0;
};

struct FakeHost final : audio::Host {
  bool enumeration_fails = false;
  std::vector<DeviceSpec> devices_;
  // Name lookup: raw name -> device token, and each token's channel names
  // (element k + 1 at position k; none where unreadable).
  std::map<std::string, std::string> ids;
  std::map<std::string, std::vector<std::optional<std::string>>> channels;
  // What the listing asked.
  std::vector<std::string> lookups;
  std::vector<std::pair<std::string, std::uint32_t>> channel_queries;

  std::expected<std::vector<std::unique_ptr<audio::Device>>, audio::DevicesError> devices()
      override {
    if (enumeration_fails) return std::unexpected(audio::DevicesError::backend("-1"));
    std::vector<std::unique_ptr<audio::Device>> out;
    for (const auto& spec : devices_) out.push_back(std::make_unique<FakeDevice>(spec));
    return out;
  }
  std::optional<audio::DeviceId> get_device_id_from_name(std::string_view name) override {
    lookups.emplace_back(name);
    const auto it = ids.find(std::string(name));
    if (it == ids.end()) return std::nullopt;
    return audio::DeviceId{it->second};
  }
  std::optional<std::string> channel_name(const audio::DeviceId& device,
                                          std::uint32_t element) override {
    channel_queries.emplace_back(device.token, element);
    const auto& names = channels[device.token];
    if (element == 0 || element > names.size()) return std::nullopt;
    return names[element - 1];
  }
};

const auto kNameFails = std::unexpected(DeviceNameError::backend("gone"));
const auto kConfigsFail =
    std::unexpected(SupportedStreamConfigsError::of(ErrorKind::DeviceNotAvailable));

TEST(Listing, Entries) {
  struct Case {
    std::string what;
    std::vector<DeviceSpec> devices;
    std::vector<DriverInfo> expected;
  };
  const std::vector<SupportedStreamConfigRange> stereo = {range(2, 44100, 48000)};
  const Case cases[] = {
      {"no devices", {}, {}},
      {"default configuration's rate, channel names found by name",
       {{"Mic", {stereo}, 48000}},
       {{"Mic", 2, 48000.0, Names{"Left", "Right"}}}},
      {"channel counts compare as unsigned 16-bit",
       {{"Wide",
         {Configs{{range(1, 8000, 8000), range(65535, 8000, 8000), range(2, 8000, 8000)}}},
         8000}},
       {{"Wide", 65535, 8000.0, std::nullopt}}},
      {"no default configuration: the first range's rate when it is highest, u32 max exact",
       {{"Odd", {Configs{{range(1, 1, 4294967295u), range(1, 1, 0)}}}, std::nullopt}},
       {{"Odd", 1, 4294967295.0, std::nullopt}}},
      {"no default configuration: the highest maximum of any range",
       {{"Odd",
         {Configs{{range(1, 44100, 48000), range(1, 8000, 96000), range(1, 8000, 16000)}}},
         std::nullopt}},
       {{"Odd", 1, 96000.0, std::nullopt}}},
      {"zero default rate is still the default's rate",
       {{"Odd", {Configs{{range(1, 8000, 8000)}}}, 0}},
       {{"Odd", 1, 0.0, std::nullopt}}},
      {"unreadable name, failing or empty second read, zero channels: left out, order kept; "
       "a failure after the second read is never seen",
       {{"A", {stereo}, 1},
        {kNameFails, {stereo}, 48000},
        {"B", {stereo, kConfigsFail}, 48000},
        {"C", {stereo, Configs{}}, 48000},
        {"D", {Configs{{range(0, 8000, 48000), range(0, 8000, 8000)}}}, 48000},
        {"E", {}, 48000},
        {"F", {kConfigsFail}, 48000},
        {"G", {stereo}, 2},
        {"H", {stereo, stereo, kConfigsFail}, 3}},
       {{"A", 2, 1.0, std::nullopt}, {"G", 2, 2.0, std::nullopt}, {"H", 2, 3.0, std::nullopt}}},
  };
  for (const auto& c : cases) {
    FakeHost host;
    host.devices_ = c.devices;
    host.ids = {{"Mic", "mic-id"}};
    host.channels = {{"mic-id", {"Left", "Right"}}};
    EXPECT_EQ(collect_drivers(host).drivers, c.expected) << c.what;
  }
}

TEST(Listing, EnumerationFailureGivesAnEmptyList) {
  FakeHost host;
  host.enumeration_fails = true;
  host.devices_ = {{"Mic", {Configs{{range(2, 48000, 48000)}}}, 48000}};
  EXPECT_TRUE(collect_drivers(host).drivers.empty());
}

TEST(Listing, NamesAreLookedUpRawAndWrittenAsValidUtf8) {
  FakeHost host;
  host.devices_ = {{std::string("Mic\xff", 4), {Configs{{range(5, 48000, 48000)}}}, 48000}};
  host.ids = {{std::string("Mic\xff", 4), "7"}};
  host.channels = {{"7", {std::nullopt, "", std::string("L\xc3", 2), "\xc3\x9cn\xc3\xaf"}}};
  const auto record = collect_drivers(host);
  ASSERT_EQ(record.drivers.size(), 1u);
  EXPECT_EQ(record.drivers[0],
            (DriverInfo{"Mic\xef\xbf\xbd", 5, 48000.0,
                        Names{"", "", "L\xef\xbf\xbd", "\xc3\x9cn\xc3\xaf", ""}}));
  EXPECT_EQ(host.lookups, Names{std::string("Mic\xff", 4)});
  const std::vector<std::pair<std::string, std::uint32_t>> elements = {
      {"7", 1}, {"7", 2}, {"7", 3}, {"7", 4}, {"7", 5}};
  EXPECT_EQ(host.channel_queries, elements);
}

TEST(Listing, ChannelNameKeepsAnEmptyNameApartFromNone) {
  FakeHost host;
  host.channels = {{"1", {"", std::nullopt}}};
  EXPECT_EQ(channel_name(host, {"1"}, 1), std::optional<std::string>(""));
  EXPECT_EQ(channel_name(host, {"1"}, 2), std::nullopt);
  EXPECT_EQ(channel_names(host, {"1"}, 0), Names{});
}

}  // namespace
}  // namespace kestravo::listing
