#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <numbers>
#include <set>

#include "audio/audio.h"
#include "audio/sim/scenario.h"
#include "audio/sim/signal.h"
#include "support/child.h"

namespace kestravo::audio::sim {
namespace {

Scenario parse_ok(std::string_view json) {
  auto scenario = parse_scenario(json);
  EXPECT_TRUE(scenario.has_value()) << scenario.error();
  return scenario.value_or(Scenario{});
}

TEST(SimScenario, DefaultScenarioHasTheThreeDevices) {
  const Scenario s = default_scenario();
  ASSERT_EQ(s.devices.size(), 3u);
  EXPECT_EQ(parse_ok(default_scenario_json()), s);

  const auto& mic = s.devices[0];
  EXPECT_EQ(mic.name, "Simulated Microphone");
  EXPECT_EQ(mic.configs,
            (std::vector<SupportedStreamConfigRange>{{2, 44100, 48000, {}, SampleFormat::F32}}));
  EXPECT_EQ(mic.default_config, (SupportedStreamConfig{2, 48000, {}, SampleFormat::F32}));
  EXPECT_EQ(mic.nominal_rate, 48000u);
  ASSERT_EQ(mic.channel_names.size(), 2u);
  EXPECT_EQ(mic.channel_names[1].text, "Right");
  EXPECT_EQ(mic.stream.signal, SignalScript{});

  const auto& line = s.devices[1];
  EXPECT_EQ(line.name, "Simulated Line In");
  EXPECT_EQ(line.configs,
            (std::vector<SupportedStreamConfigRange>{{8, 48000, 48000, {}, SampleFormat::I16}}));
  EXPECT_EQ(line.default_config, (SupportedStreamConfig{8, 48000, {}, SampleFormat::I16}));
  ASSERT_EQ(line.channel_names.size(), 8u);
  EXPECT_EQ(line.channel_names[0].text, "In 1");
  EXPECT_EQ(line.channel_names[7].text, "In 8");

  EXPECT_EQ(s.devices[2].name, "Simulated Speakers");
  EXPECT_TRUE(s.devices[2].configs.empty());
}

TEST(SimScenario, DefaultsOfADevice) {
  const Scenario s = parse_ok(R"({"devices": [
      {"name": "a"},
      {"name": "b", "configs": [{"channels": 2, "min_rate": 8000, "max_rate": 96000, "format": "I16"},
                                {"channels": 1, "min_rate": 44100, "max_rate": 44100, "format": "F32"}]},
      {"name": "c", "configs": [{"channels": 2, "min_rate": 8000, "max_rate": 96000, "format": "I16"}],
       "default_config": {"channels": 2, "rate": 44100, "format": "I16"}},
      {"name": "d", "configs": [{"channels": 2, "min_rate": 8000, "max_rate": 96000, "format": "I16"}],
       "default_config": {"channels": 2, "rate": 44100, "format": "I16"},
       "nominal_rate": 22050, "available_rates": [[22050, 22050]]}]})");
  ASSERT_EQ(s.devices.size(), 4u);
  const auto& a = s.devices[0];
  EXPECT_EQ(a.nominal_rate, 0u);
  EXPECT_TRUE(a.available_rates.empty());
  EXPECT_TRUE(a.findable);
  EXPECT_FALSE(a.default_config);
  EXPECT_EQ(a.configs_fail_after, 0u);
  EXPECT_EQ(a.rate_switch, RateSwitch::Ok);
  EXPECT_EQ(a.stream, StreamScript{});
  EXPECT_EQ(a.stream.buffer_frames, 480u);
  EXPECT_TRUE(a.stream.runs_after_release);

  EXPECT_EQ(s.devices[1].nominal_rate, 96000u);
  using Rates = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  EXPECT_EQ(s.devices[1].available_rates, (Rates{{8000, 96000}, {44100, 44100}}));
  EXPECT_EQ(s.devices[2].nominal_rate, 44100u);
  EXPECT_EQ(s.devices[3].nominal_rate, 22050u);
  EXPECT_EQ(s.devices[3].available_rates, (Rates{{22050, 22050}}));
}

TEST(SimScenario, TextsErrorsAndStreamKeys) {
  const Scenario s = parse_ok(R"({"enumeration_error": {"hex": "2d3530"}, "devices": [
      {"name": {"hex": "ff41"}, "name_error": "gone", "configs_error": {"backend": "busy"},
       "configs_fail_after": 3, "build_error": "stream_id_overflow", "play_error": "device_not_available",
       "rate_switch": "listener_disconnected", "findable": false,
       "channel_names": ["L", null, {"name": {"hex": "c3A9"}, "copy_only": true}, {"name": "R"}],
       "stream": {"buffer_frames": 64, "interval_ms": 2.5, "buffers": [[1, -2.5, "nan", "inf", "-inf"], []],
                  "signal": {"kind": "noise", "amplitude": 0.5, "seed": 18446744073709551615},
                  "max_buffers": 0, "stream_errors": [{"after_buffers": 4, "text": "glitch"}],
                  "disconnect": {"after_buffers": 7}, "runs_after_release": false}}]})");
  EXPECT_EQ(s.enumeration_error, "-50");
  ASSERT_EQ(s.devices.size(), 1u);
  const auto& d = s.devices[0];
  EXPECT_EQ(d.name,
            "\xff"
            "A");
  EXPECT_EQ(d.name_error, "gone");
  EXPECT_EQ(d.configs_error, (ScriptedError{ErrorKind::BackendSpecific, "busy"}));
  EXPECT_EQ(d.configs_fail_after, 3u);
  EXPECT_EQ(d.build_error, (ScriptedError{ErrorKind::StreamIdOverflow, ""}));
  EXPECT_EQ(d.play_error, (ScriptedError{ErrorKind::DeviceNotAvailable, ""}));
  EXPECT_EQ(d.rate_switch, RateSwitch::ListenerDisconnected);
  EXPECT_FALSE(d.findable);
  EXPECT_EQ(d.channel_names,
            (std::vector<ChannelNameEntry>{
                {"L", false}, {std::nullopt, false}, {"\xc3\xa9", true}, {"R", false}}));

  const auto& st = d.stream;
  EXPECT_EQ(st.buffer_frames, 64u);
  EXPECT_EQ(st.interval_ms, 2.5);
  using K = RawSample::Kind;
  EXPECT_EQ(st.buffers,
            (std::vector<std::vector<RawSample>>{
                {{K::Integer, 1, 0}, {K::Real, 0, -2.5}, {K::NaN}, {K::Inf}, {K::NegInf}}, {}}));
  EXPECT_EQ(st.signal, (SignalScript{SignalScript::Kind::Noise, 440, 0.5, 18446744073709551615u}));
  EXPECT_EQ(st.max_buffers, 0u);
  EXPECT_EQ(st.stream_errors, (std::vector<StreamErrorScript>{{4, "glitch"}}));
  EXPECT_EQ(st.disconnect, (DisconnectScript{7, 1}));
  EXPECT_FALSE(st.runs_after_release);
}

TEST(SimScenario, SchemaErrorsNameTheKeyAtFault) {
  struct Case {
    const char* json;
    const char* reason;
  };
  const Case cases[] = {
      {R"([])", "top level: must be an object, not []"},
      {R"({"devices": [], "extra": 1})", "extra: unknown key"},
      {R"({"devices": {}})", "devices: must be an array, not {}"},
      {R"({"devices": [{"name": "a", "nmae": "b"}]})", "devices[0].nmae: unknown key"},
      {R"({"devices": [{"configs": []}]})",
       "devices[0].name: missing (required unless name_error is given)"},
      {R"({"devices": [{"name": 5}]})",
       R"(devices[0].name: must be a string or {"hex": ...}, not 5)"},
      {R"({"devices": [{"name": {"hex": "abc"}}]})",
       "devices[0].name.hex: odd number of hex digits"},
      {R"({"devices": [{"name": {"hex": "zz"}}]})",
       "devices[0].name.hex: not a hex digit at offset 0"},
      {R"({"devices": [{"name": {"hex": "00", "x": 1}}]})", "devices[0].name.x: unknown key"},
      {R"({"devices": [{"name": "a", "configs": [{"channels": "2", "min_rate": 1, "max_rate": 2, "format": "F32"}]}]})",
       R"(devices[0].configs[0].channels: must be an integer, not "2")"},
      {R"({"devices": [{"name": "a", "configs": [{"channels": 65536, "min_rate": 1, "max_rate": 2, "format": "F32"}]}]})",
       "devices[0].configs[0].channels: 65536 is out of range (0 to 65535)"},
      {R"({"devices": [{"name": "a", "configs": [{"channels": 1, "min_rate": -1, "max_rate": 2, "format": "F32"}]}]})",
       "devices[0].configs[0].min_rate: -1 is out of range (0 to 4294967295)"},
      {R"({"devices": [{"name": "a", "configs": [{"channels": 1, "min_rate": 1, "max_rate": 2, "format": "I24"}]}]})",
       R"(devices[0].configs[0].format: unknown sample format "I24")"},
      {R"({"devices": [{"name": "a", "configs": [{"channels": 1, "min_rate": 1, "format": "F32"}]}]})",
       "devices[0].configs[0].max_rate: missing"},
      {R"({"devices": [{"name": "a", "default_config": {"channels": 1, "rate": 1, "format": "f32"}}]})",
       R"(devices[0].default_config.format: unknown sample format "f32")"},
      {R"({"devices": [{"name": "a", "configs_error": "config_not_supported"}]})",
       R"(devices[0].configs_error: "config_not_supported" is not an error of this operation)"},
      {R"({"devices": [{"name": "a", "play_error": "invalid_argument"}]})",
       R"(devices[0].play_error: "invalid_argument" is not an error of this operation)"},
      {R"({"devices": [{"name": "a", "build_error": "unplugged"}]})",
       R"(devices[0].build_error: unknown error "unplugged")"},
      {R"({"devices": [{"name": "a", "build_error": {"backend": 3}}]})",
       R"(devices[0].build_error.backend: must be a string or {"hex": ...}, not 3)"},
      {R"({"devices": [{"name": "a", "configs_fail_after": -1}]})",
       "devices[0].configs_fail_after: -1 is out of range (0 to 18446744073709551615)"},
      {R"({"devices": [{"name": "a", "available_rates": [[1]]}]})",
       "devices[0].available_rates[0]: must be [min, max], not [1]"},
      {R"({"devices": [{"name": "a", "rate_switch": "slow"}]})",
       R"(devices[0].rate_switch: must be "ok", "timeout" or "listener_disconnected", not "slow")"},
      {R"({"devices": [{"name": "a", "findable": 0}]})",
       "devices[0].findable: must be true or false, not 0"},
      {R"({"devices": [{"name": "a", "channel_names": ["L", 7]}]})",
       R"(devices[0].channel_names[1]: must be a text, null or {"name": text, "copy_only": true}, not 7)"},
      {R"({"devices": [{"name": "a", "channel_names": [{"name": "L", "copy": true}]}]})",
       "devices[0].channel_names[0].copy: unknown key"},
      {R"({"devices": [{"name": "a", "stream": {"buffer_frames": 0}}]})",
       "devices[0].stream.buffer_frames: 0 is out of range (1 to 1048576)"},
      {R"({"devices": [{"name": "a", "stream": {"buffer_frames": 480.0}}]})",
       "devices[0].stream.buffer_frames: must be an integer, not 480.0"},
      {R"({"devices": [{"name": "a", "stream": {"interval_ms": -1}}]})",
       "devices[0].stream.interval_ms: -1 is out of range"},
      {R"({"devices": [{"name": "a", "stream": {"signal": {"kind": "square"}}}]})",
       R"(devices[0].stream.signal.kind: must be "sine", "silence" or "noise", not "square")"},
      {R"({"devices": [{"name": "a", "stream": {"signal": {"kind": "sine", "seed": 1}}}]})",
       "devices[0].stream.signal.seed: unknown key"},
      {R"({"devices": [{"name": "a", "stream": {"signal": {"kind": "noise", "amplitude": 1.5}}}]})",
       "devices[0].stream.signal.amplitude: 1.5 is out of range"},
      {R"({"devices": [{"name": "a", "stream": {"buffers": [[1, "loud"]]}}]})",
       R"(devices[0].stream.buffers[0][1]: must be a number, "nan", "inf" or "-inf", not "loud")"},
      {R"({"devices": [{"name": "a", "stream": {"buffers": [1]}}]})",
       "devices[0].stream.buffers[0]: must be an array of samples, not 1"},
      {R"({"devices": [{"name": "a", "stream": {"stream_errors": [{"after_buffers": 1}]}}]})",
       "devices[0].stream.stream_errors[0].text: missing"},
      {R"({"devices": [{"name": "a", "stream": {"disconnect": {"after_buffers": 1, "times": 2}}}]})",
       "devices[0].stream.disconnect.times: unknown key"},
      {R"({"devices": [{"name": "a", "stream": {"runs_after_release": "yes"}}]})",
       R"(devices[0].stream.runs_after_release: must be true or false, not "yes")"},
      // The only format the device offers decides what its raw samples may be.
      {R"({"devices": [{"name": "a", "configs": [{"channels": 1, "min_rate": 1, "max_rate": 2, "format": "I16"}],
           "stream": {"buffers": [[0], [1, 40000]]}}]})",
       "devices[0].stream.buffers[1][1]: 40000 is not a sample of format I16"},
      {R"({"devices": [{"name": "a", "configs": [{"channels": 1, "min_rate": 1, "max_rate": 2, "format": "U16"}],
           "stream": {"buffers": [[-1]]}}]})",
       "devices[0].stream.buffers[0][0]: -1 is not a sample of format U16"},
      {R"({"devices": [{"name": "a", "configs": [{"channels": 1, "min_rate": 1, "max_rate": 2, "format": "I16"}],
           "stream": {"buffers": [[-32768, 32767, -32769]]}}]})",
       "devices[0].stream.buffers[0][2]: -32769 is not a sample of format I16"},
      {R"({"devices": [{"name": "a", "configs": [{"channels": 1, "min_rate": 1, "max_rate": 2, "format": "F32"}],
           "stream": {"buffers": [[3e38, "-inf", 65536, 4e38]]}}]})",
       "devices[0].stream.buffers[0][3]: 4e+38 is not a sample of format F32"},
      {R"({"devices": [{"name": "a", "default_config": {"channels": 1, "rate": 1, "format": "I16"}},
           {"name": "b", "default_config": {"channels": 1, "rate": 1, "format": "I16"}, "stream": {"buffers": [["nan"]]}}]})",
       R"(devices[1].stream.buffers[0][0]: "nan" is not a sample of format I16)"},
  };
  for (const auto& c : cases) {
    auto scenario = parse_scenario(c.json);
    ASSERT_FALSE(scenario.has_value()) << c.json;
    EXPECT_EQ(scenario.error(), c.reason) << c.json;
  }
}

TEST(SimScenario, BuffersOfADeviceWithSeveralFormatsWaitForTheBuild) {
  // I16 and F32 ranges: 0.5 is fine for one of them, so reading accepts it.
  const Scenario s = parse_ok(R"({"devices": [{"name": "a", "configs": [
      {"channels": 1, "min_rate": 1, "max_rate": 2, "format": "I16"},
      {"channels": 1, "min_rate": 1, "max_rate": 2, "format": "F32"}],
      "stream": {"buffers": [[0.5]]}}]})");
  const auto& buffers = s.devices.at(0).stream.buffers;
  EXPECT_EQ(check_buffers(buffers, SampleFormat::I16), "[0][0]: 0.5 is not a sample of format I16");
  EXPECT_EQ(check_buffers(buffers, SampleFormat::F32), std::nullopt);
}

TEST(SimScenario, InvalidJsonNamesThePosition) {
  auto scenario = parse_scenario("{\"devices\": [}");
  ASSERT_FALSE(scenario.has_value());
  EXPECT_TRUE(scenario.error().starts_with("parse error at line 1, column 14")) << scenario.error();

  // Whatever the file holds, the reason quotes only a little of it.
  const std::string long_texts[] = {
      "[" + std::string(5000, '\n') + "\t[" + std::string(5000, '\n') + "\x01",
      "\"" + std::string(5000, 'a') + "\x01\"", "{\"" + std::string(5000, 'k') + "\": 1}",
      "{\"devices\": [{\"name\": \"\xc3\xa9" + std::string(5000, 'n') + "\x7f",
      // The token holds the words that end the parser's message.
      "{\"" + std::string(500, 'a') + "'; expected " + std::string(500, 'b') + "'; expected x"};
  for (const auto& text : long_texts) {
    auto refused = parse_scenario(text);
    ASSERT_FALSE(refused.has_value());
    EXPECT_LT(refused.error().size(), 256u) << refused.error();
    EXPECT_NE(refused.error().find("..."), std::string::npos) << refused.error();
  }

  // A cut that would fall inside a character moves to the next one.
  std::string accents = "\"";
  for (int i = 0; i < 2500; ++i) accents += "\xc3\xa9";
  auto refused = parse_scenario(accents + "x\x01\"");
  ASSERT_FALSE(refused.has_value());
  // 40 bytes back from the end is the second byte of an accent: 15 whole
  // accents are kept.
  EXPECT_TRUE(refused.error().ends_with("last read: '..." + accents.substr(1, 30) + "x<U+0001>'"))
      << refused.error();
}

TEST(SimScenario, LoadingFiles) {
  testing::TempDir dir;
  EXPECT_EQ(load_scenario(""), default_scenario());

  const auto good = dir.write("good.json", R"({"devices": [{"name": "x"}]})");
  auto loaded = load_scenario(good);
  ASSERT_TRUE(loaded.has_value()) << loaded.error();
  EXPECT_EQ(loaded->devices.at(0).name, "x");

  const auto bad = dir.write("bad.json", R"({"devices": 1})");
  EXPECT_EQ(load_scenario(bad).error(), bad + ": devices: must be an array, not 1");
  EXPECT_EQ(load_scenario(dir.path() + "/missing.json").error(),
            "cannot read " + dir.path() + "/missing.json: No such file or directory");
  EXPECT_EQ(load_scenario(dir.path()).error(), "cannot read " + dir.path() + ": Is a directory");
}

TEST(SimScenarioDeathTest, DefaultHostExitsWithStatus2OnABadScenario) {
  testing::TempDir dir;
  const auto path = dir.write("s.json", R"({"devices": [{"name": "a", "colour": "red"}]})");
  EXPECT_EXIT(
      {
        ::setenv("KESTRAVO_SIM_SCENARIO", path.c_str(), 1);
        (void)default_host(Deadline::after(kAnswerBudget));
      },
      ::testing::ExitedWithCode(2),
      "^kestravo-sim: scenario: .*/s.json: devices\\[0\\]\\.colour: unknown key\n$");
}

TEST(SimSignal, ConversionOfSignalValues) {
  struct Case {
    double v;
    std::int16_t i16;
    std::uint16_t u16;
  };
  const Case cases[] = {
      {0.0, 0, 32768},       {1.0, 32767, 65535}, {-1.0, -32767, 1}, {0.5, 16384, 49152},
      {-0.5, -16384, 16384}, {0.25, 8192, 40960}, {1e-5, 0, 32768},  {2.0, 32767, 65535},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_i16(c.v), c.i16) << c.v;
    EXPECT_EQ(to_u16(c.v), c.u16) << c.v;
    EXPECT_EQ(to_f32(c.v), static_cast<float>(c.v)) << c.v;
  }
}

TEST(SimSignal, SineCarriesItsFrequencyTimesTheChannelNumber) {
  SignalGenerator gen(SignalScript{SignalScript::Kind::Sine, 1000, 0.5, 0}, 48000, 3);
  std::vector<float> first(3 * 10);
  std::vector<float> second(3 * 10);
  gen.fill(std::span<float>(first));
  gen.fill(std::span<float>(second));  // continues the phase
  for (int n = 0; n < 20; ++n) {
    for (int c = 0; c < 3; ++c) {
      const double expected = 0.5 * std::sin(2 * std::numbers::pi * 1000 * (c + 1) * n / 48000.0);
      const float got = n < 10 ? first[n * 3 + c] : second[(n - 10) * 3 + c];
      EXPECT_NEAR(got, expected, 1e-6) << n << " " << c;
    }
  }

  SignalGenerator as_i16(SignalScript{}, 48000, 1);
  std::vector<std::int16_t> samples(8);
  as_i16.fill(std::span<std::int16_t>(samples));
  for (int n = 0; n < 8; ++n) {
    EXPECT_EQ(samples[n], to_i16(0.25 * std::sin(2 * std::numbers::pi * 440 * n / 48000.0)));
  }
}

TEST(SimSignal, SilenceAndSeededNoise) {
  SignalGenerator silence(SignalScript{SignalScript::Kind::Silence}, 48000, 2);
  std::vector<std::uint16_t> quiet(6, 1);
  silence.fill(std::span<std::uint16_t>(quiet));
  EXPECT_EQ(quiet, std::vector<std::uint16_t>(6, 32768));

  auto noise = [](std::uint64_t seed) {
    SignalGenerator gen(SignalScript{SignalScript::Kind::Noise, 440, 0.5, seed}, 48000, 2);
    std::vector<float> out(2000);
    gen.fill(std::span<float>(out));
    return out;
  };
  const auto a = noise(7);
  EXPECT_EQ(a, noise(7));
  EXPECT_NE(a, noise(8));
  std::set<float> distinct(a.begin(), a.end());
  EXPECT_GT(distinct.size(), 1900u);
  for (float v : a) {
    ASSERT_LE(std::abs(v), 0.5f);
  }
}

}  // namespace
}  // namespace kestravo::audio::sim
