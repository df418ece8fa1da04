// The -sim executable with scenario files, as an integrator runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/child.h"

namespace kestravo {
namespace {

using testing::Child;
using testing::ChildOptions;
using testing::run;

ChildOptions with_scenario(const std::string& path) {
  ChildOptions options;
  options.env["KESTRAVO_SIM_SCENARIO"] = path;
  return options;
}

// The source tree, from the build tree's cache beside the executable.
std::filesystem::path source_dir() {
  std::ifstream cache(std::filesystem::path(testing::sim_exe()).parent_path() / "CMakeCache.txt");
  const std::string key = "CMAKE_HOME_DIRECTORY:INTERNAL=";
  for (std::string line; std::getline(cache, line);) {
    if (line.starts_with(key)) return line.substr(key.size());
  }
  return {};
}

TEST(SimEndToEnd, ABadScenarioEndsWithStatus2BeforeAnyRecord) {
  testing::TempDir dir;
  const auto bad = dir.write("bad.json", R"({"devices": [{"name": "Mic", "configs": 2}]})");
  const auto missing = dir.path() + "/missing.json";
  struct Case {
    std::string path;
    std::string reason;
  };
  const Case cases[] = {
      {bad, bad + ": devices[0].configs: must be an array, not 2"},
      {missing, "cannot read " + missing + ": No such file or directory"},
  };
  const std::vector<std::vector<std::string>> commands = {{"--list"},
                                                          {"--driver", "Mic", "--channels", "0"}};
  for (const auto& c : cases) {
    for (const auto& args : commands) {
      const auto result = run(testing::sim_exe(), args, "", with_scenario(c.path));
      EXPECT_EQ(result.status, 2) << c.path;
      EXPECT_EQ(result.err, "kestravo-sim: scenario: " + c.reason + "\n");
      EXPECT_EQ(result.out, "");
    }
  }

  // Buffers that only the format the capture chooses cannot carry: the
  // device lists, and the capture is refused by the harness, not the tool.
  const auto two_formats = dir.write("two.json", R"({"devices": [{"name": "Mic", "configs": [
      {"channels": 1, "min_rate": 48000, "max_rate": 48000, "format": "F32"},
      {"channels": 1, "min_rate": 44100, "max_rate": 44100, "format": "I16"}],
      "stream": {"buffers": [[0.5]]}}]})");
  EXPECT_EQ(run(testing::sim_exe(), {"--list"}, "", with_scenario(two_formats)).status, 0);
  const auto result =
      run(testing::sim_exe(), {"--driver", "Mic", "--channels", "0", "--sample-rate", "44100"}, "",
          with_scenario(two_formats));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err,
            "kestravo-sim: scenario: " + two_formats +
                ": devices[0].stream.buffers[0][0]: 0.5 is not a sample of format I16\n");
  EXPECT_EQ(result.out, "");
}

TEST(SimEndToEnd, TheExampleScenarioLists) {
  const auto example = source_dir() / "examples" / "scenario.json";
  ASSERT_TRUE(std::filesystem::exists(example)) << example;
  const auto result = run(testing::sim_exe(), {"--list"}, "", with_scenario(example));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            R"({"type":"drivers","drivers":[)"
            R"({"name":"Studio Interface","inputs":4,"sampleRate":48000.0,)"
            R"("channelNames":["Mic 1","Mic 2","","Line )"
            "\xef\xbf\xbd"
            R"("]},)"
            R"({"name":"USB Headset","inputs":1,"sampleRate":16000.0,"channelNames":["Mono"]}]})"
            "\n");
}

TEST(SimEndToEnd, ExplicitBuffersReachThePcmThenTheDeviceIsLost) {
  testing::TempDir dir;
  const auto scenario = dir.write("s.json", R"({"devices": [{"name": "Mic",
      "configs": [{"channels": 2, "min_rate": 48000, "max_rate": 48000, "format": "I16"}],
      "stream": {"interval_ms": 0, "buffers": [[1, 2, 3, -4], [5, 6, 7]],
                 "disconnect": {"after_buffers": 2, "notifications": 2}}}]})");
  Child child(testing::sim_exe(), {"--driver", "Mic", "--channels", "1"}, with_scenario(scenario));
  const std::string lost =
      R"({"type":"error","code":"device_disconnected","message":"The requested device is no )"
      R"(longer available. For example, it has been unplugged."})";
  ASSERT_TRUE(
      child.wait_for([&](const Child& c) { return std::ranges::count(c.err_lines(), lost) == 2; }));
  ASSERT_TRUE(child.wait_for_out_bytes(6));
  // Channel 1 of frames (1, 2), (3, -4), (5, 6); the partial frame 7 is dropped.
  EXPECT_EQ(child.out(), std::string("\x02\x00\xfc\xff\x06\x00", 6));
  child.close_stdin();
  EXPECT_EQ(child.wait(), 0);
  EXPECT_EQ(child.out().size(), 6u);
}

}  // namespace
}  // namespace kestravo
