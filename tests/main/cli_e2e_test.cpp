// The built executable rejects bad command lines the way the parent sees
// them: one error line on standard error, nothing on standard output, exit 1.
// The Windows build under Wine answers byte for byte the same.
#include <gtest/gtest.h>

#include "support/child.h"

namespace kestravo {
namespace {

using testing::ChildOptions;
using testing::Platform;
using testing::Program;
using testing::run;

class CliEndToEnd : public ::testing::TestWithParam<Platform> {
 protected:
  void SetUp() override {
    if (real().exe.empty()) GTEST_SKIP() << "no Windows build and Wine named here";
  }
  Program real() const { return testing::real_program(GetParam()); }
  Program sim() const { return testing::sim_program(GetParam()); }
};

std::string error_line(const std::string& code, const std::string& message) {
  return R"({"type":"error","code":")" + code + R"(","message":")" + message + "\"}\n";
}

TEST_P(CliEndToEnd, RejectedCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string no_driver = error_line("driver_not_found", "no --driver given");
  const std::string no_channels = error_line("channel_out_of_range", "no --channels given");
  const std::string no_requested = error_line("channel_out_of_range", "no channels requested");
  // Each refusal once; the parsing rules are command_line_test's. An empty
  // argument and one with a space must reach the tool whole, which on
  // Windows takes the command line's quoting.
  const Case cases[] = {
      {{}, no_driver},
      {{"--driver", "Mic", "--channels"}, no_channels},
      {{"--driver", "Mic", "--channels", ""}, no_requested},
      {{"--driver", "Mic", "--channels", "0, 1"}, no_requested},
      {{"--driver", "Mic", "--channels", "", "--sample-rate", "48k"}, no_requested},
  };
  for (const auto& program : {real(), sim()}) {
    for (const auto& c : cases) {
      const auto result = run(program.exe, program.with(c.args));
      EXPECT_EQ(result.status, 1) << ::testing::PrintToString(c.args);
      EXPECT_EQ(result.err, c.err) << ::testing::PrintToString(c.args);
      EXPECT_EQ(result.out, "") << ::testing::PrintToString(c.args);
    }
  }
}

// Where --list may stand is command_line_test's and the listing end-to-end
// test's; here the real executable lists among other arguments.
TEST_P(CliEndToEnd, ListWinsOverEverythingElse) {
  const auto result = run(real().exe, real().with({"--driver", "X", "--list"}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out.rfind(R"({"type":"drivers","drivers":[)", 0), 0u) << result.out;
  EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << result.out;
}

TEST_P(CliEndToEnd, ArgumentsThatAreNotUtf8AreEchoedAsValidUtf8) {
  // The name passes the command line; whatever the host says of it, any
  // record that repeats it holds only valid UTF-8.
  const auto result = run(real().exe, real().with({"--driver", "Mic\xff", "--channels", "0"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.find('\xff'), std::string::npos) << result.err;
}

TEST_P(CliEndToEnd, ClosedOrBrokenStreamsKeepTheExitStatus) {
  struct Case {
    std::vector<std::string> args;
    ChildOptions options;
    int status;
  };
  ChildOptions closed_err;
  closed_err.close_stderr = true;
  ChildOptions closed_all;
  closed_all.close_stdin = closed_all.close_stdout = closed_all.close_stderr = true;
  ChildOptions broken_err;
  broken_err.broken_stderr = true;
  ChildOptions closed_out;
  closed_out.close_stdout = true;
  ChildOptions broken_out;
  broken_out.broken_stdout = true;
  const Case cases[] = {
      {{}, closed_err, 1},         {{}, closed_all, 1},         {{}, broken_err, 1},
      {{"--list"}, closed_out, 0}, {{"--list"}, broken_out, 0}, {{"--list"}, closed_all, 0},
  };
  for (const auto& c : cases) {
    // Wine 8 itself hangs at start-up with all three descriptors closed
    // (Windows starts no process without standard handles).
    if (GetParam() == Platform::Wine && c.options.close_stdin) continue;
    const auto result = run(real().exe, real().with(c.args), {}, c.options);
    EXPECT_EQ(result.status, c.status) << ::testing::PrintToString(c.args);
  }
}

INSTANTIATE_TEST_SUITE_P(Platforms, CliEndToEnd, ::testing::Values(Platform::Linux, Platform::Wine),
                         [](const auto& info) { return testing::platform_name(info.param); });

}  // namespace
}  // namespace kestravo
