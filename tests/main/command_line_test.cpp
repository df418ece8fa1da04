#include "main/command_line.h"

#include <gtest/gtest.h>

#include <limits>

namespace kestravo {
namespace {

using capture::CaptureRequest;

main::Command parse(std::vector<std::string> args) { return main::parse_command_line(args); }

TEST(CommandLine, Modes) {
  struct Case {
    std::vector<std::string> args;
    main::Command expected;
  };
  const main::CommandError no_driver{"driver_not_found", "no --driver given"};
  const main::CommandError no_channels{"channel_out_of_range", "no --channels given"};
  const main::CommandError no_requested{"channel_out_of_range", "no channels requested"};
  const Case cases[] = {
      {{}, no_driver},
      {{"--list"}, main::ListCommand{}},
      {{"--driver", "X", "--list"}, main::ListCommand{}},
      {{"--channels", "--list"}, main::ListCommand{}},
      {{"--list", "--sample-rate", "abc"}, main::ListCommand{}},
      {{"--driver", "A", "--driver", "B", "--channels", "0"}, CaptureRequest{"A", {0}, {}}},
      {{"--driver=A", "--channels", "0"}, no_driver},
      {{"--driver"}, no_driver},
      {{"--Driver", "A", "--channels", "0"}, no_driver},
      {{"--driver", "Mic", "--channels"}, no_channels},
      {{"--driver", "Mic"}, no_channels},
      {{"--sample-rate", "48000", "--channels", "1", "--driver", "Mic"},
       CaptureRequest{"Mic", {1}, 48000}},
      {{"--driver", "", "--channels", "0"}, CaptureRequest{"", {0}, {}}},
      // The value after an option is taken whatever it is, even another option,
      // and values are searched like any other argument.
      {{"--driver", "--channels", "--channels", "2"}, no_requested},
      {{"--driver", "--sample-rate", "--channels", "2"}, CaptureRequest{"--sample-rate", {2}, {}}},
      {{"--channels", "--driver", "--driver", "x"}, no_requested},
      {{"--driver", "Mic", "--channels", "", "--sample-rate", "bad"}, no_requested},
      {{"--driver", "Mic", "--channels", "1", "--sample-rate"}, CaptureRequest{"Mic", {1}, {}}},
      {{"extra", "--driver", "Mic", "stray", "--channels", "0,1"},
       CaptureRequest{"Mic", {0, 1}, {}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse(c.args), c.expected) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLine, Channels) {
  struct Case {
    std::string text;
    std::vector<std::uint64_t> channels;
  };
  const Case cases[] = {
      {"0,,1,", {0, 1}},
      {"3,3,0", {3, 3, 0}},
      {"+2", {2}},
      {"007", {7}},
      {",,5", {5}},
      {"18446744073709551615", {std::numeric_limits<std::uint64_t>::max()}},
      {"", {}},
      {",", {}},
      {"0, 1", {}},
      {"0,x,1", {}},
      {"-1", {}},
      {"+", {}},
      {"++1", {}},
      {"1 ", {}},
      {"0;1", {}},
      {"18446744073709551616", {}},
      {"99999999999999999999999", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(main::parse_channels(c.text), c.channels) << c.text;
}

TEST(CommandLine, SampleRate) {
  struct Case {
    std::string text;
    std::optional<std::uint32_t> rate;
  };
  const Case cases[] = {
      {"48000", 48000},  {"+44100", 44100}, {"0", 0},   {"4294967295", 4294967295u},
      {"048000", 48000}, {"48k", {}},       {"-1", {}}, {"4294967296", {}},
      {" 48000", {}},    {"", {}},          {"+", {}},  {"48000.0", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(main::parse_sample_rate(c.text), c.rate) << c.text;
}

TEST(CommandLine, OptionValue) {
  const std::vector<std::string> args{"--a", "1", "--b", "--a", "2", "--c"};
  EXPECT_EQ(main::option_value(args, "--a"), "1");
  EXPECT_EQ(main::option_value(args, "--b"), "--a");
  EXPECT_EQ(main::option_value(args, "--c"), std::nullopt);
  EXPECT_EQ(main::option_value(args, "--d"), std::nullopt);
}

}  // namespace
}  // namespace kestravo
