// How a capture behaves towards a parent that is not an ideal reader: one
// that never drains standard error, one that drains standard output slowly or
// not at all when it closes the lifeline, and one that ends the tool with a
// signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "audio/alsa/hermetic_alsa.h"
#include "capture/e2e_support.h"

namespace kestravo::testing {
namespace {

// `count` selections of channels 0 and 1, alternating.
std::string many_channels(std::size_t count) {
  std::string list;
  for (std::size_t i = 0; i < count; ++i) list += (i ? "," : "") + std::to_string(i % 2);
  return list;
}

std::string stereo_device(std::uint32_t rate, const std::string& stream) {
  return R"({"devices":[{"name":"Mic","configs":[{"channels":2,"min_rate":)" +
         std::to_string(rate) + R"(,"max_rate":)" + std::to_string(rate) +
         R"(,"format":"I16"}],"stream":)" + stream + "}]}";
}

// Every line is a whole record, and standard error ends with a line feed.
void expect_whole_records(const std::string& err) {
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.back(), '\n') << "half a record at the end";
  for (const auto& line : split_lines(err)) {
    EXPECT_TRUE(line.starts_with("{\"type\":\"") && line.ends_with("}\n")) << line;
  }
}

TEST(CaptureUndrainedStatus, PcmKeepsFlowingWhenNobodyReadsStandardError) {
  // 128 selected channels make levels records of about 5 KB: standard error's
  // pipe is full within a second, while the PCM is a modest 2 MB/s.
  TempDir dir;
  ChildOptions options;
  options.defer_stderr = true;
  Child child(sim_exe(), capture_args("Mic", many_channels(128)),
              with_scenario(dir, stereo_device(8000, R"({"buffer_frames":80})"), options));
  const auto started = steady_clock::now();
  std::this_thread::sleep_for(2s);
  const std::size_t before = child.out().size();
  EXPECT_TRUE(child.wait_for_out_bytes(before + 1'000'000, 10s))
      << "the PCM stopped when standard error filled up";
  child.start_stderr_reader();
  child.close_stdin();
  ASSERT_EQ(child.wait(5s), 0);
  const std::string err = child.err();
  expect_whole_records(err);
  EXPECT_TRUE(err.starts_with(ready_line(8000, 128)));
  const auto elapsed = *child.exited_at() - started;
  EXPECT_LE(count_if_line(child, is_levels), static_cast<std::size_t>(elapsed / 50ms) + 1);
}

TEST(CaptureEnd, PcmEndsOnAWholeFrameAndTheProcessExitsPromptly) {
  HermeticAlsa alsa(4096);
  const struct {
    const char* name;
    std::string exe;
    std::string driver;
    std::string scenario;  // empty: the ALSA executable
    std::size_t selected;
    bool drained;  // slowly, or not at all
    int runs;
  } cases[] = {
      // Unpaced 480-frame buffers of 33 selected channels: every block is
      // larger than a pipe writes at once, so one is nearly always being
      // written when the lifeline closes.
      {"sim, slow reader", sim_exe(), "Mic", stereo_device(48000, R"({"interval_ms":0})"), 33, true,
       5},
      {"sim, reader stopped", sim_exe(), "Mic", stereo_device(48000, R"({"interval_ms":0})"), 33,
       false, 2},
      // A clockless 32-channel PCM: the callback is blocked on the pipe.
      {"alsa, reader stopped", real_exe(), "mapped", "", 2, false, 2},
  };
  for (const auto& c : cases) {
    for (int run = 0; run < c.runs; ++run) {
      SCOPED_TRACE(c.name);
      TempDir dir;
      ChildOptions options;
      options.ignore_stdout = !c.drained;
      options.stdout_chunk = 4096;
      options.stdout_pause = 1ms;
      if (c.scenario.empty()) {
        options.env["ALSA_CONFIG_PATH"] = alsa.config;
      } else {
        options = with_scenario(dir, c.scenario, options);
      }
      Child child(c.exe, capture_args(c.driver, many_channels(c.selected)), options);
      ASSERT_TRUE(child.wait_for_err_line("\"ready\""));
      std::this_thread::sleep_for(100ms);
      const auto closed = steady_clock::now();
      child.close_stdin();
      ASSERT_EQ(child.wait(5s), 0);
      // 100 ms is what the tool promises; the rest is room for a loaded
      // machine to schedule us.
      EXPECT_LE(*child.exited_at() - closed, 200ms);
      if (c.drained) {
        EXPECT_EQ(child.out().size() % (2 * c.selected), 0u) << "a partial frame";
      }
    }
  }
}

TEST(CaptureSignals, EndingSignalsRestoreStandardInputAndStillKill) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempDir dir;
    ChildOptions options;
    options.share_stdin = true;
    Child child(sim_exe(), capture_args("Mic", "0"),
                with_scenario(dir, stereo_device(48000, R"({"buffer_frames":480})"), options));
    ASSERT_TRUE(child.wait_for_err_line("\"ready\""));
    ASSERT_TRUE(child.wait_for(
        [](const Child& c) { return (::fcntl(c.stdin_reader(), F_GETFL) & O_NONBLOCK) != 0; }));
    ::kill(child.pid(), signal);
    EXPECT_EQ(child.wait(5s), 128 + signal);
    EXPECT_EQ(::fcntl(child.stdin_reader(), F_GETFL) & O_NONBLOCK, 0);
  }
}

}  // namespace
}  // namespace kestravo::testing
