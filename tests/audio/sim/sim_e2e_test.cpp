// The -sim executable with scenario files, as an integrator runs it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "support/child.h"
#include "text/utf8.h"

namespace kestravo {
namespace {

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

std::string repeat(std::string_view piece, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// Peak resident memory of the largest child reaped so far, in bytes.
std::int64_t children_peak_bytes() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<std::int64_t>(usage.ru_maxrss) * 1024;
}

TEST(SimEndToEnd, ABadScenarioEndsWithStatus2BeforeAnyRecord) {
  testing::TempDir dir;
  const std::string mic = R"({"devices": [{"name": "Mic", )";
  const auto bad = dir.write("bad.json", mic + R"("configs": 2}]})");
  const auto missing = dir.path() + "/missing.json";
  const auto fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto deep = dir.write("deep.json", repeat("[", 3000) + repeat("]", 3000));
  const auto deep_buffers =
      dir.write("deep-buffers.json", mic + R"("stream": {"buffers": [)" + repeat("[", 3000) +
                                         repeat("]", 3000) + "]}}]}");
  const auto long_number =
      dir.write("long-number.json", mic + R"("nominal_rate": )" + repeat("1", 1000000) + "}]}");
  const auto huge = dir.write("huge.json", mic + R"("stream": {"interval_ms": 1e400}}]})");
  const auto ill_formed = dir.write("ill-formed.json", mic.substr(0, 26) + "\xff\"}]}");
  const auto duplicate = dir.write("duplicate.json", mic + R"("configs": [], "name": "Mic"}]})");
  // Values and keys before the samples: 11.
  const auto many_values = dir.write(
      "many-values.json", mic + R"("stream": {"buffers": [[)" + repeat("0,", 1u << 22) + "0]]}}]}");
  const auto wide = dir.write(
      "wide.json", mic + R"("configs": [{"channels": 65535, "min_rate": 48000, "max_rate": 48000,)"
                         R"( "format": "F32"}], "stream": {"buffer_frames": 65536}}]})");

  const std::vector<std::string> list = {"--list"};
  const std::vector<std::string> capture = {"--driver", "Mic", "--channels", "0"};
  struct Case {
    std::string path;
    std::vector<std::string> args;
    std::string reason;
  };
  const Case cases[] = {
      {bad, list, bad + ": devices[0].configs: must be an array, not 2"},
      {bad, capture, bad + ": devices[0].configs: must be an array, not 2"},
      {missing, list, "cannot read " + missing + ": No such file or directory"},
      {"/dev/zero", list, "cannot read /dev/zero: more than 64 MiB, the reader's limit"},
      {fifo, list, "cannot read " + fifo + ": nothing to read for 5 s"},
      {deep, list,
       deep + ": " + repeat("[0]", 16) + "..." + repeat("[0]", 24) +
           ": nested more than 64 levels deep"},
      {deep_buffers, list,
       deep_buffers + ": devices[0].stream.buffers" + repeat("[0]", 7) + "..." + repeat("[0]", 24) +
           ": nested more than 64 levels deep"},
      {long_number, list,
       long_number + ": devices[0].nominal_rate: number out of range: " + repeat("1", 40) + "..."},
      {huge, list, huge + ": devices[0].stream.interval_ms: number out of range: 1e400"},
      {ill_formed, list,
       ill_formed + ": parse error at line 1, column 27: syntax error while parsing value - "
                    "invalid string: ill-formed UTF-8 byte; last read: '\"Mic<0xFF>'"},
      {duplicate, list, duplicate + ": devices[0].name: duplicate key"},
      {many_values, list,
       many_values + ": devices[0].stream.buffers[0][" + std::to_string((1u << 22) - 11) +
           "]: more than 4194304 values and keys in the file, the reader's limit"},
      {wide, capture,
       wide + ": devices[0].stream.buffer_frames: 65536 frames of 65535 channels of F32 take "
              "17179607040 bytes, more than the simulator's 256 MiB per buffer"},
  };
  for (const auto& c : cases) {
    // A reader that hangs or reads a device that never ends is killed at the
    // timeout; one that builds the document whole fails the peak below.
    const auto result =
        run(testing::sim_exe(), c.args, "", with_scenario(c.path), std::chrono::seconds(90));
    EXPECT_EQ(result.status, 2) << c.path;
    EXPECT_EQ(result.err, "kestravo-sim: scenario: " + c.reason + "\n");
    EXPECT_EQ(text::utf8_lossy(result.err), result.err);
    EXPECT_EQ(result.out, "");
    EXPECT_LT(children_peak_bytes(), std::int64_t{1} << 30) << c.path;
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

}  // namespace
}  // namespace kestravo
