#include "audio/sim/sim_host.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "audio/audio.h"
#include "audio/sim/scenario.h"
#include "support/texts.h"

namespace kestravo::audio::sim {
namespace {

using testing::kDeviceGone;

std::unique_ptr<Host> host_of(std::string_view json) {
  auto scenario = parse_scenario(json);
  EXPECT_TRUE(scenario.has_value()) << scenario.error();
  return make_host(scenario.value_or(Scenario{}));
}

std::vector<std::string> names_of(const std::vector<std::unique_ptr<Device>>& devices) {
  std::vector<std::string> names;
  for (const auto& d : devices) names.push_back(d->name().value_or("<error>"));
  return names;
}

// A device with one 2-channel I16 range; `extra` adds keys.
std::string device(std::string_view name, std::string_view extra = "") {
  return std::string(R"({"name": ")") + std::string(name) +
         R"(", "configs": [{"channels": 2, "min_rate": 8000, "max_rate": 48000, "format": "I16"}])" +
         (extra.empty() ? "" : ", ") + std::string(extra) + "}";
}

std::string scenario_of(std::initializer_list<std::string> devices) {
  std::string json = R"({"devices": [)";
  bool first = true;
  for (const auto& d : devices) {
    json += (first ? "" : ",") + d;
    first = false;
  }
  return json + "]}";
}

TEST(SimHost, DevicesAndInputDevices) {
  auto host =
      host_of(scenario_of({device("mic"), R"({"name": "speakers"})",
                           device("broken", R"("configs_error": "invalid_argument")"),
                           device("nameless", R"("name_error": "no name")"), device("line")}));
  auto all = host->devices();
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(names_of(*all),
            (std::vector<std::string>{"mic", "speakers", "broken", "<error>", "line"}));
  auto inputs = input_devices(*host);
  ASSERT_TRUE(inputs.has_value());
  EXPECT_EQ(names_of(*inputs), (std::vector<std::string>{"mic", "<error>", "line"}));
  EXPECT_EQ((*inputs)[1]->name().error().text(), "A backend-specific error has occurred: no name");
}

TEST(SimHost, EnumerationError) {
  auto host = host_of(R"({"enumeration_error": "-50", "devices": [{"name": "mic"}]})");
  auto all = host->devices();
  ASSERT_FALSE(all.has_value());
  EXPECT_EQ(all.error().text(), "A backend-specific error has occurred: -50");
  EXPECT_EQ(input_devices(*host).error().text(), "A backend-specific error has occurred: -50");
}

TEST(SimHost, ConfigurationQueriesAndTheirErrors) {
  struct Case {
    const char* error;
    std::string text;
  };
  const Case cases[] = {
      {R"("device_not_available")", std::string(kDeviceGone)},
      {R"("invalid_argument")",
       "Invalid argument passed to the backend. For example, this happens when trying to read "
       "capture capabilities when the device does not support it."},
      {R"({"backend": "who knows"})", "A backend-specific error has occurred: who knows"},
  };
  for (const auto& c : cases) {
    auto host =
        host_of(scenario_of({device("mic", std::string(R"("configs_error": )") + c.error)}));
    auto configs = host->devices().value().at(0)->supported_input_configs();
    ASSERT_FALSE(configs.has_value());
    EXPECT_EQ(configs.error().text(), c.text);
  }

  auto host = host_of(scenario_of({device("mic")}));
  auto devices = host->devices().value();
  auto& mic = *devices.at(0);
  EXPECT_EQ(mic.supported_input_configs().value(),
            (std::vector<SupportedStreamConfigRange>{{2, 8000, 48000, {}, SampleFormat::I16}}));
  EXPECT_EQ(mic.default_input_config().error().text(),
            "The requested stream type is not supported by the device.");

  auto with_default = host_of(scenario_of(
      {device("mic", R"("default_config": {"channels": 2, "rate": 44100, "format": "I16"})")}));
  EXPECT_EQ(with_default->devices().value().at(0)->default_input_config().value(),
            (SupportedStreamConfig{2, 44100, {}, SampleFormat::I16}));
}

TEST(SimHost, ConfigsFailAfterCountsEveryQueryIncludingTheInputTest) {
  // N queries succeed; the input test of input_devices is the first one.
  for (std::uint64_t n = 0; n < 4; ++n) {
    auto host = host_of(scenario_of(
        {device("mic", R"("configs_error": "device_not_available", "configs_fail_after": )" +
                           std::to_string(n))}));
    auto inputs = input_devices(*host);
    ASSERT_TRUE(inputs.has_value());
    if (n == 0) {
      EXPECT_TRUE(inputs->empty());
      continue;
    }
    ASSERT_EQ(inputs->size(), 1u);
    // The count is the device's, whichever handle asks.
    auto again = host->devices().value();
    for (std::uint64_t query = 2; query <= 4; ++query) {
      auto configs = (query % 2 ? *again[0] : *(*inputs)[0]).supported_input_configs();
      EXPECT_EQ(configs.has_value(), query <= n) << "n=" << n << " query " << query;
    }
  }
}

TEST(SimHost, LookupByNameOverTheWholeDeviceList) {
  auto host = host_of(scenario_of({
      device("hidden", R"("findable": false)"),      // 0
      R"({"name": "out"})",                          // 1: output only
      device("mic"),                                 // 2
      device("out"),                                 // 3
      device("mic"),                                 // 4
      device("hidden"),                              // 5
      device("x", R"("name_error": "unreadable")"),  // 6: counts as ""
      R"({"name": {"hex": "ff00fe"}})",              // 7
  }));
  struct Case {
    std::string name;
    std::optional<std::string> token;
  };
  const Case cases[] = {
      {"mic", "2"},
      {"out", "1"},
      {"hidden", "5"},
      {"", "6"},
      {"x", std::nullopt},
      {"Mic", std::nullopt},
      {"mic ", std::nullopt},
      {std::string("\xff\0\xfe", 3), "7"},
      {std::string("\xff", 1), std::nullopt},
  };
  for (const auto& c : cases) {
    auto id = host->get_device_id_from_name(c.name);
    EXPECT_EQ(id ? std::optional(id->token) : std::nullopt, c.token) << c.name;
  }
}

TEST(SimHost, ChannelNames) {
  const std::string long255(255, 'a');
  const std::string long256(256, 'b');
  // 127 two-byte characters and one more byte: 255 bytes; one more: 257.
  std::string wide255;
  for (int i = 0; i < 127; ++i) wide255 += "\xc3\xa9";
  const std::string wide256 = wide255 + "\xc3\xa9";
  wide255 += "z";
  auto host = host_of(scenario_of(
      {device("mic", R"("channel_names": ["Left", null, {"hex": "ff41"}, "", {"name": ")" +
                         long255 + R"(", "copy_only": true}, {"name": ")" + long256 +
                         R"(", "copy_only": true}, {"name": ")" + long256 +
                         R"(", "copy_only": false}, {"name": ")" + wide255 +
                         R"(", "copy_only": true}, {"name": ")" + wide256 +
                         R"(", "copy_only": true}, "ab\u0000cd",)"
                         R"( {"name": "ef\u0000gh", "copy_only": true}])")}));
  auto id = host->get_device_id_from_name("mic");
  ASSERT_TRUE(id.has_value());
  struct Case {
    std::uint32_t element;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {0, std::nullopt},
      {1, "Left"},
      {2, std::nullopt},
      {3,
       "\xff"
       "A"},
      {4, ""},
      {5, long255},
      {6, std::nullopt},
      {7, long256},
      {8, wide255},
      {9, std::nullopt},  // copying counts bytes, not characters
      {10, "ab"},         // a name ends at its NUL, copied or not
      {11, "ef"},
      {12, std::nullopt},
      {0xffffffff, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(host->channel_name(*id, c.element), c.name) << c.element;
  EXPECT_EQ(host->channel_name(DeviceId{"1"}, 1), std::nullopt);
  EXPECT_EQ(host->channel_name(DeviceId{"0x"}, 1), std::nullopt);
  EXPECT_EQ(host->channel_name(DeviceId{""}, 1), std::nullopt);
}

// Builds a stream that delivers nothing, for the outcomes of the build.
std::expected<std::unique_ptr<Stream>, BuildStreamError> build(Device& device, std::uint32_t rate) {
  return device.build_input_stream(StreamConfig{2, rate, std::nullopt},
                                   DataCallback<std::int16_t>(), ErrorCallback());
}

const char* kQuiet = R"("stream": {"max_buffers": 0, "runs_after_release": false})";

TEST(SimHost, RateSwitchOutcomes) {
  struct Case {
    const char* extra;
    std::uint32_t rate;
    std::optional<std::string> error;
  };
  const std::string not_supported =
      "The requested stream configuration is not supported by the device.";
  const Case cases[] = {
      // Already at the rate: no switch, whatever the rate list says.
      {R"("nominal_rate": 48000, "available_rates": [])", 48000, std::nullopt},
      {R"("nominal_rate": 48000, "rate_switch": "timeout")", 48000, std::nullopt},
      // A continuous range is no entry [R, R].
      {R"("nominal_rate": 48000)", 44100, not_supported},
      {R"("nominal_rate": 48000, "available_rates": [[44100, 44100]])", 44100, std::nullopt},
      {R"("nominal_rate": 48000, "available_rates": [[44100, 44100]])", 22050, not_supported},
      {R"("nominal_rate": 48000, "available_rates": [[44100, 44100]], "rate_switch": "timeout")",
       44100,
       "A backend-specific error has occurred: timeout waiting for sample rate update for device"},
      {R"("nominal_rate": 48000, "available_rates": [[44100, 44100]], "rate_switch": "listener_disconnected")",
       44100,
       "A backend-specific error has occurred: sample rate listener channel disconnected "
       "unexpectedly"},
      // Out of the list, rate_switch never matters.
      {R"("nominal_rate": 48000, "rate_switch": "timeout")", 44100, not_supported},
  };
  for (const auto& c : cases) {
    auto host = host_of(scenario_of({device("mic", std::string(c.extra) + ", " + kQuiet)}));
    auto stream = build(*host->devices().value().at(0), c.rate);
    if (c.error) {
      ASSERT_FALSE(stream.has_value()) << c.extra;
      EXPECT_EQ(stream.error().text(), *c.error) << c.extra;
    } else {
      EXPECT_TRUE(stream.has_value()) << c.extra << ": " << stream.error().text();
    }
  }
}

TEST(SimHost, ASwitchedRateStaysForEveryHandleOfTheDevice) {
  auto host = host_of(scenario_of({device(
      "mic",
      std::string(R"("nominal_rate": 48000, "available_rates": [[44100, 44100]], )") + kQuiet)}));
  auto first = host->devices().value();
  ASSERT_TRUE(build(*first[0], 48000).has_value());
  ASSERT_TRUE(build(*first[0], 44100).has_value());
  // 48000 was only the rate the device started at; it is not in its list.
  auto second = host->devices().value();
  EXPECT_EQ(build(*second[0], 48000).error(),
            BuildStreamError::of(ErrorKind::StreamConfigNotSupported));
  EXPECT_TRUE(build(*second[0], 44100).has_value());
}

TEST(SimHost, BuildAndPlayErrors) {
  struct Case {
    const char* extra;
    std::optional<std::string> build_text;
    std::optional<std::string> play_text;
  };
  const Case cases[] = {
      {R"("build_error": "device_not_available")", std::string(kDeviceGone), {}},
      {R"("build_error": "invalid_argument")",
       "The requested device does not support this capability (invalid argument)",
       {}},
      {R"("build_error": "config_not_supported")",
       "The requested stream configuration is not supported by the device.",
       {}},
      {R"("build_error": "stream_id_overflow")",
       "Adding a new stream ID would cause an overflow",
       {}},
      {R"("build_error": {"backend": "-10851"})",
       "A backend-specific error has occurred: -10851",
       {}},
      // The build error comes before the rate switch.
      {R"("build_error": "stream_id_overflow", "nominal_rate": 1)",
       "Adding a new stream ID would cause an overflow",
       {}},
      {R"("play_error": "device_not_available")",
       {},
       "the device associated with the stream is no longer available"},
      {R"("play_error": {"backend": "busy"})", {}, "A backend-specific error has occurred: busy"},
      {R"("nominal_rate": 48000)", {}, {}},
  };
  for (const auto& c : cases) {
    auto host = host_of(scenario_of({device("mic", std::string(c.extra) + ", " + kQuiet)}));
    auto stream = build(*host->devices().value().at(0), 48000);
    if (c.build_text) {
      ASSERT_FALSE(stream.has_value()) << c.extra;
      EXPECT_EQ(stream.error().text(), *c.build_text) << c.extra;
      continue;
    }
    ASSERT_TRUE(stream.has_value()) << c.extra;
    auto played = (*stream)->play();
    if (c.play_text) {
      ASSERT_FALSE(played.has_value()) << c.extra;
      EXPECT_EQ(played.error().text(), *c.play_text) << c.extra;
    } else {
      EXPECT_TRUE(played.has_value()) << c.extra;
      EXPECT_TRUE((*stream)->play().has_value()) << "play on a running stream";
    }
  }
}

TEST(SimHostDeathTest, BuffersThatTheElementTypeCannotCarryAreABrokenScenario) {
  auto host = host_of(R"({"devices": [{"name": "mic", "nominal_rate": 48000, "configs": [
      {"channels": 2, "min_rate": 48000, "max_rate": 48000, "format": "I16"},
      {"channels": 2, "min_rate": 48000, "max_rate": 48000, "format": "F32"}],
      "stream": {"buffers": [[1, 0.5]], "max_buffers": 0, "runs_after_release": false}}]})");
  auto devices = host->devices().value();
  auto& mic = *devices.at(0);
  EXPECT_EXIT((void)build(mic, 48000), ::testing::ExitedWithCode(2),
              "^kestravo-sim: scenario: devices\\[0\\]\\.stream\\.buffers\\[0\\]\\[1\\]: 0\\.5 "
              "is not a sample of format I16\n$");
  auto as_f32 = mic.build_input_stream(StreamConfig{2, 48000, std::nullopt}, DataCallback<float>(),
                                       ErrorCallback());
  EXPECT_TRUE(as_f32.has_value());
}

TEST(SimHost, DevicesOutliveTheirHost) {
  std::unique_ptr<Device> mic;
  {
    auto host = host_of(scenario_of({device("mic", kQuiet)}));
    mic = std::move(host->devices().value().at(0));
  }
  EXPECT_EQ(mic->name().value(), "mic");
  EXPECT_TRUE(mic->supported_input_configs().has_value());
  EXPECT_TRUE(build(*mic, 48000).has_value());
}

TEST(SimHost, DefaultHostWithoutAScenarioHasTheBuiltInDevices) {
  ::unsetenv("KESTRAVO_SIM_SCENARIO");
  auto host = default_host(Deadline::after(kAnswerBudget));
  EXPECT_EQ(names_of(input_devices(*host).value()),
            (std::vector<std::string>{"Simulated Microphone", "Simulated Line In"}));
  EXPECT_EQ(names_of(host->devices().value()).back(), "Simulated Speakers");
  auto line = host->get_device_id_from_name("Simulated Line In");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(host->channel_name(*line, 8), "In 8");
}

}  // namespace
}  // namespace kestravo::audio::sim
