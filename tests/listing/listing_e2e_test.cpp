// `--list` on the simulated host, compared byte for byte: one drivers line on
// standard output, nothing on standard error, exit status 0, whatever the
// devices do.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/child.h"

namespace kestravo {
namespace {

using testing::ChildOptions;
using testing::run;
using testing::RunResult;
using testing::TempDir;

// Scenario pieces: `members` are a JSON object's members without braces.
std::string object(const std::string& members) { return "{" + members + "}"; }
std::string scenario(const std::vector<std::string>& devices, const std::string& extra = "") {
  std::string list;
  for (const auto& d : devices) list += (list.empty() ? "" : ",") + d;
  return R"({"devices":[)" + list + "]" + (extra.empty() ? "" : "," + extra) + "}";
}
std::string range(int channels, int min_rate, int max_rate) {
  return R"({"channels":)" + std::to_string(channels) + R"(,"min_rate":)" +
         std::to_string(min_rate) + R"(,"max_rate":)" + std::to_string(max_rate) +
         R"(,"format":"F32"})";
}
// Two channels at 48000 Hz, that as the default, plus `more` members.
std::string stereo(const std::string& name_member, const std::string& more = "") {
  return object(name_member + R"(,"configs":[)" + range(2, 48000, 48000) +
                R"(],"default_config":{"channels":2,"rate":48000,"format":"F32"})" +
                (more.empty() ? "" : "," + more));
}

std::string drivers(const std::string& entries) {
  return R"({"type":"drivers","drivers":[)" + entries + "]}\n";
}

const std::string kDefaultList = drivers(
    R"({"name":"Simulated Microphone","inputs":2,"sampleRate":48000.0,"channelNames":["Left","Right"]},)"
    R"({"name":"Simulated Line In","inputs":8,"sampleRate":48000.0,)"
    R"("channelNames":["In 1","In 2","In 3","In 4","In 5","In 6","In 7","In 8"]})");

// The simulated executable the current test runs: the Linux build, or the
// Windows build under Wine.
testing::Program g_sim;

RunResult run_sim(const std::vector<std::string>& args, const ChildOptions& options,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  return run(g_sim.exe, g_sim.with(args), {}, options, timeout);
}

class ListingEndToEnd : public ::testing::TestWithParam<testing::Platform> {
 protected:
  void SetUp() override {
    g_sim = testing::sim_program(GetParam());
    if (g_sim.exe.empty()) GTEST_SKIP() << "no Windows build and Wine named here";
  }
  bool wine() const { return GetParam() == testing::Platform::Wine; }
};

// No scenario: the built-in default.
RunResult list(const std::optional<std::string>& scenario_json,
               const std::vector<std::string>& args = {"--list"}) {
  TempDir dir;
  ChildOptions options;
  options.env["KESTRAVO_SIM_SCENARIO"] =
      scenario_json ? std::optional(dir.write("scenario.json", *scenario_json)) : std::nullopt;
  return run_sim(args, options);
}

struct Case {
  std::string what;
  std::string scenario;
  std::string out;
};

void expect_listings(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    const auto result = list(c.scenario);
    EXPECT_EQ(result.status, 0) << c.what;
    EXPECT_EQ(result.err, "") << c.what;
    EXPECT_EQ(result.out, c.out) << c.what;
  }
}

TEST_P(ListingEndToEnd, BuiltInDefaultScenario) {
  for (const auto& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
    ChildOptions options;
    options.env["KESTRAVO_SIM_SCENARIO"] = value;
    const auto result = run_sim({"--list"}, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, kDefaultList);
  }
}

TEST_P(ListingEndToEnd, ListAnywhereAmongOtherArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {"--driver", "Simulated Microphone", "--channels", "0", "--list"},
      {"--list", "--channels"},
      {"--sample-rate", "abc", "--list", "--bogus", ""},
      {"--driver", "--list"},
      {"\xff", "--list", "--list"},
  };
  for (const auto& args : cases) {
    const auto result = list(std::nullopt, args);
    EXPECT_EQ(result.status, 0) << ::testing::PrintToString(args);
    EXPECT_EQ(result.err, "") << ::testing::PrintToString(args);
    EXPECT_EQ(result.out, kDefaultList) << ::testing::PrintToString(args);
  }
}

// How the listing's entries reach the parent. Each field's rules are
// listing_test's; the simulated host's answers are sim_host_test's.
TEST_P(ListingEndToEnd, Entries) {
  const std::string kept = stereo(R"("name":"Kept")");
  expect_listings({
      {"no devices at all", "{}", drivers("")},
      {"enumeration fails", scenario({kept}, R"("enumeration_error":"-50")"), drivers("")},
      {"devices that drop out are left out",
       scenario({stereo(R"("name":"Gone")",
                        R"("configs_error":"device_not_available","configs_fail_after":1)"),
                 kept, stereo(R"("name_error":"bad")")}),
       drivers(R"({"name":"Kept","inputs":2,"sampleRate":48000.0,"channelNames":["",""]})")},
      {"largest channel count over 2- and 8-channel ranges, exactly that many names",
       scenario({object(R"("name":"Multi","configs":[)" + range(2, 48000, 48000) + "," +
                        range(8, 48000, 48000) +
                        R"(],"default_config":{"channels":2,"rate":48000,"format":"F32"},)"
                        R"("channel_names":["1","2","3","4","5","6","7","8","9"])")}),
       drivers(R"({"name":"Multi","inputs":8,"sampleRate":48000.0,)"
               R"("channelNames":["1","2","3","4","5","6","7","8"]})")},
      {"not found again by name: no channelNames",
       scenario({stereo(R"("name":"Vanishing")", R"("findable":false,"channel_names":["L","R"])")}),
       drivers(R"({"name":"Vanishing","inputs":2,"sampleRate":48000.0})")},
  });
}

TEST_P(ListingEndToEnd, AHundredThousandDevicesListInLinearTime) {
  if (wine()) GTEST_SKIP() << "a question of time: Linux only";
  // Each device is looked up by its name; walking the list for that made
  // this take minutes.
  constexpr int kDevices = 100000;
  std::vector<std::string> devices;
  std::string entries;
  for (int i = 0; i < kDevices; ++i) {
    const auto name = "d" + std::to_string(i);
    devices.push_back(stereo(R"("name":")" + name + '"', R"("channel_names":["L","R"])"));
    entries += std::string(i == 0 ? "" : ",") + R"({"name":")" + name +
               R"(","inputs":2,"sampleRate":48000.0,"channelNames":["L","R"]})";
  }
  TempDir dir;
  ChildOptions options;
  options.env["KESTRAVO_SIM_SCENARIO"] = dir.write("scenario.json", scenario(devices));
  // A quadratic walk takes over 30 s here even optimised; unoptimised code
  // under the sanitizers takes some 20 s for the linear one. Measured in the
  // child's CPU time, which a loaded machine does not stretch.
  const auto bound = std::chrono::seconds(std::getenv("KESTRAVO_SANITIZED") ? 150 : 30);
  const auto cpu_time = [] {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  };
  const auto before = cpu_time();
  const auto result = run_sim({"--list"}, options, std::chrono::minutes(4));
  const auto used = cpu_time() - before;
  EXPECT_LT(used, bound) << std::chrono::duration<double>(used).count() << " s";
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(result.out == drivers(entries)) << result.out.size() << " bytes";
}

TEST_P(ListingEndToEnd, TextsAreEncodedAsTheProtocolSays) {
  expect_listings({
      {"quotes, backslashes and control bytes are escaped",
       scenario({stereo(R"("name":"a\"b\\c\td\u0001e\u001f\n/\u007f")",
                        R"("channel_names":["\b\f\r","\u0002"])")}),
       drivers("{\"name\":\"a\\\"b\\\\c\\td\\u0001e\\u001f\\n/\x7f\",\"inputs\":2,"
               "\"sampleRate\":48000.0,\"channelNames\":[\"\\b\\f\\r\",\"\\u0002\"]}")},
      {"non-Latin text passes as its UTF-8 bytes",
       scenario({stereo("\"name\":\"\xd0\x9c\xd0\xb8\xd0\xba \xe9\xba\xa6\"",
                        "\"channel_names\":[\"\xd9\x8a\xd8\xb3\xd8\xa7\xd8\xb1\","
                        "\"\xf0\x9f\x8e\xa4\"]")}),
       drivers("{\"name\":\"\xd0\x9c\xd0\xb8\xd0\xba \xe9\xba\xa6\",\"inputs\":2,"
               "\"sampleRate\":48000.0,\"channelNames\":[\"\xd9\x8a\xd8\xb3\xd8\xa7\xd8\xb1\","
               "\"\xf0\x9f\x8e\xa4\"]}")},
      {"ill-formed bytes become U+FFFD; the lookup still finds the raw name",
       scenario({stereo(R"("name":{"hex":"4d6963ff"})",
                        R"("channel_names":[{"hex":"e2824c"},{"hex":"c0af"}])"),
                 stereo(R"("name":{"hex":"eda080"})",
                        R"("channel_names":[{"name":{"hex":"f4908080"},"copy_only":true}])")}),
       drivers("{\"name\":\"Mic\xef\xbf\xbd\",\"inputs\":2,\"sampleRate\":48000.0,"
               "\"channelNames\":[\"\xef\xbf\xbdL\",\"\xef\xbf\xbd\xef\xbf\xbd\"]},"
               "{\"name\":\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\",\"inputs\":2,"
               "\"sampleRate\":48000.0,\"channelNames\":["
               "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\",\"\"]}")},
  });
}

INSTANTIATE_TEST_SUITE_P(Platforms, ListingEndToEnd,
                         ::testing::Values(testing::Platform::Linux, testing::Platform::Wine),
                         [](const auto& info) { return testing::platform_name(info.param); });

}  // namespace
}  // namespace kestravo
