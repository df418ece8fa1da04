// How a capture behaves towards a parent that is not an ideal reader: one
// that never drains standard error (from the start, or once it is full), one
// that drains standard output slowly or not at all when it closes the
// lifeline, one that reads very long lines, and one that ends the tool with a
// signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
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

// The bytes waiting in a pipe, seen from its read end.
std::size_t queued(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? static_cast<std::size_t>(n) : 0;
}

// What is left in a pipe whose writers have all gone.
std::string read_to_end(int fd) {
  std::string bytes;
  char buffer[65536];
  for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 5000) == 1;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

TEST(CaptureUndrainedPcm, LevelsGoOnWhileNobodyReadsStandardOutput) {
  const struct {
    const char* name;
    std::string stream;
  } cases[] = {
      {"the PCM waits in the tool", R"({"buffer_frames":480})"},
      {"the PCM is dropped", R"({"interval_ms":0,"buffer_frames":480})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ChildOptions options;
    options.ignore_stdout = true;
    Child child(sim_exe(), capture_args("Mic", "0,1"),
                with_scenario(dir, stereo_device(48000, c.stream), options));
    ASSERT_TRUE(child.wait_for([](const Child& ch) { return queued(ch.stdout_reader()) >= 60000; }))
        << "standard output's pipe never filled";
    const std::size_t before = count_if_line(child, is_levels);
    EXPECT_TRUE(child.wait_for([before](const Child& ch) {
      return count_if_line(ch, is_levels) >= before + 10;
    })) << "the levels stopped with standard output";
    child.close_stdin();
    ASSERT_EQ(child.wait(5s), 0);
    expect_whole_records(child.err());
  }
}

TEST(CaptureEnd, PcmEndsOnAWholeFrameAndTheProcessExitsPromptly) {
  HermeticAlsa alsa(4096);
  // Unpaced 960-frame buffers of 33 selected channels: every block is far
  // larger than a pipe takes at once, so one is nearly always being written
  // when the lifeline closes.
  const std::string unpaced = stereo_device(48000, R"({"interval_ms":0,"buffer_frames":960})");
  const std::string paced = stereo_device(48000, R"({"buffer_frames":480})");
  // One buffer larger than the pipe, as a server catching up delivers it.
  const std::string burst =
      stereo_device(48000, R"({"interval_ms":0,"buffer_frames":16384,"max_buffers":1})");
  const struct {
    const char* name;
    std::string exe;
    std::string driver;
    std::string scenario;  // empty: the ALSA executable
    std::size_t selected;
    bool drained;      // slowly, or not at all
    bool stderr_full;  // from the start, and never read
    int runs;
  } cases[] = {
      {"sim, slow reader", sim_exe(), "Mic", unpaced, 33, true, false, 6},
      {"sim, reader stopped", sim_exe(), "Mic", unpaced, 33, false, false, 2},
      // A clockless 32-channel PCM: the callback is blocked on the pipe.
      {"alsa, reader stopped", real_exe(), "mapped", "", 2, false, false, 2},
      {"sim, standard error full", sim_exe(), "Mic", paced, 2, true, true, 2},
      {"sim, slow reader, standard error full", sim_exe(), "Mic", unpaced, 33, true, true, 2},
      {"sim, both full", sim_exe(), "Mic", unpaced, 33, false, true, 2},
      {"sim, a first block larger than the pipe, both full", sim_exe(), "Mic", burst, 3, false,
       true, 2},
  };
  for (const auto& c : cases) {
    for (int run = 0; run < c.runs; ++run) {
      SCOPED_TRACE(c.name);
      TempDir dir;
      ChildOptions options;
      options.ignore_stdout = !c.drained;
      // 1,000 bytes a millisecond: slower than the tool writes, but alive.
      options.stdout_chunk = 1000;
      options.stdout_pause = 1ms;
      options.fill_stderr = c.stderr_full;
      options.defer_stderr = c.stderr_full;
      options.share_stdin = true;
      if (c.scenario.empty()) {
        options.env["ALSA_CONFIG_PATH"] = alsa.config;
      } else {
        options = with_scenario(dir, c.scenario, options);
      }
      Child child(c.exe, capture_args(c.driver, many_channels(c.selected)), options);
      const TempDir reference_dir;
      Child reference(sim_exe(), capture_args("Mic", "0"), with_scenario(reference_dir, paced));
      // Standard input turns non-blocking when the tool starts watching it,
      // right after the ready record (which a full standard error hides).
      ASSERT_TRUE(child.wait_for(
          [](const Child& ch) { return (::fcntl(ch.stdin_reader(), F_GETFL) & O_NONBLOCK) != 0; }));
      ASSERT_TRUE(reference.wait_for_err_line("\"ready\""));
      std::this_thread::sleep_for(100ms);
      const auto exit = close_and_time_exit(child, reference);
      ASSERT_TRUE(exit) << "no exit";
      ASSERT_EQ(exit->status, 0);
      // 100 ms is what the tool promises.
      EXPECT_TRUE(exit->within(100ms))
          << "exit after " << exit->tool / 1ms << " ms; with a parent that reads everything, "
          << exit->reference / 1ms << " ms";
      const std::size_t pcm =
          c.drained ? child.out().size() : read_to_end(child.stdout_reader()).size();
      EXPECT_EQ(pcm % (2 * c.selected), 0u) << "a partial frame in " << pcm << " bytes";
    }
  }
}

TEST(CaptureFullStatus, RecordsWaitForRoomWithoutHoldingUpTheTool) {
  const std::string mic = stereo_device(48000, R"({"buffer_frames":480})");
  const std::string unbuildable =
      R"({"devices":[{"name":"Mic","configs":[{"channels":2,"min_rate":48000,"max_rate":48000,)"
      R"("format":"I16"}],"build_error":"device_not_available"}]})";
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string scenario;
    int status;  // 0: a capture, ended through the lifeline
  } cases[] = {
      // The ready record waits for room while PCM flows and the lifeline is
      // watched; once the parent reads, it comes.
      {"ready", capture_args("Mic", "0,1"), mic, 0},
      // A fatal record gives up waiting, and the tool exits all the same.
      {"no such device", capture_args("Nope", "0"), mic, 1},
      {"stream cannot be built", capture_args("Mic", "0"), unbuildable, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ChildOptions options;
    options.fill_stderr = true;
    options.defer_stderr = true;
    Child child(sim_exe(), c.args, with_scenario(dir, c.scenario, options));
    if (c.status != 0) {
      EXPECT_EQ(child.wait(5s), c.status) << "the record held up the exit";
      continue;
    }
    EXPECT_TRUE(child.wait_for_out_bytes(48000 * 4 / 2, 5s)) << "no PCM behind the ready record";
    child.start_stderr_reader();
    ASSERT_TRUE(child.wait_for_err_line("\"ready\""));
    child.close_stdin();
    ASSERT_EQ(child.wait(5s), 0);
    const auto lines = split_lines(child.err());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ready_line(48000, 2)), 1);
    expect_whole_records(child.err());
  }
}

TEST(CaptureLongLines, LevelsOfThousandsOfChannelsComeWholeAndTheLossAfterThem) {
  const std::string lost = error_line(protocol::code::device_disconnected, kDeviceGone);
  // Levels lines of about 18 KiB and 90 KiB: the second is longer than a
  // pipe holds. A slow rate keeps the PCM of thousands of channels small.
  for (const std::size_t selected : {800, 4000}) {
    SCOPED_TRACE(selected);
    TempDir dir;
    Child child(sim_exe(), capture_args("Mic", many_channels(selected)),
                with_scenario(dir, stereo_device(1000, R"({"buffer_frames":10,)"
                                                       R"("disconnect":{"after_buffers":40}})")));
    ASSERT_TRUE(
        child.wait_for([](const Child& ch) { return count_if_line(ch, is_error) >= 1; }, 10s))
        << "the loss never arrived";
    child.close_stdin();
    ASSERT_EQ(child.wait(5s), 0);
    const std::string err = child.err();
    expect_whole_records(err);
    const auto lines = split_lines(err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), lost);
    std::size_t levels = 0;
    for (const auto& line : lines) {
      if (!is_levels(line)) continue;
      ++levels;
      // "type", then rms and peak with one value per selected channel each.
      EXPECT_EQ(static_cast<std::size_t>(std::count(line.begin(), line.end(), ',')),
                2 + 2 * (selected - 1));
    }
    EXPECT_GE(levels, 1u);
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
