// A running capture on the simulated host: the PCM and levels it writes, the
// lifeline, device loss and a parent that stops reading.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <thread>

#include "capture/e2e_support.h"

namespace kestravo::testing {
namespace {

ChildOptions options_with(bool ChildOptions::*flag) {
  ChildOptions options;
  options.*flag = true;
  return options;
}

std::string json_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

template <class T>
std::string json_numbers(const std::vector<T>& values) {
  std::vector<std::string> items;
  for (const T v : values) items.push_back(std::to_string(v));
  return json_list(items);
}

// One device "Mic" of `channels` channels at 48000 Hz in `format`, with the
// stream object `stream`.
std::string device(std::uint16_t channels, const std::string& format, const std::string& stream) {
  return R"({"devices":[{"name":"Mic","configs":[{"channels":)" + std::to_string(channels) +
         R"(,"min_rate":48000,"max_rate":48000,"format":")" + format + R"("}],"stream":)" + stream +
         "}]}";
}

// Explicit buffers only, then silence.
std::string explicit_stream(const std::vector<std::string>& buffers, double interval_ms = 1) {
  return R"({"buffers":)" + json_list(buffers) + R"(,"max_buffers":)" +
         std::to_string(buffers.size()) + R"(,"interval_ms":)" + std::to_string(interval_ms) + "}";
}

// Runs a capture until `expected_bytes` of PCM have come and a little
// longer, then ends it through the lifeline.
RunResult capture_until(const std::string& scenario, const std::vector<std::string>& args,
                        std::size_t expected_bytes) {
  TempDir dir;
  Child child(sim_exe(), args, with_scenario(dir, scenario));
  child.wait_for_out_bytes(expected_bytes, 5s);
  // Room for bytes that should not be there.
  std::this_thread::sleep_for(60ms);
  child.close_stdin();
  RunResult result;
  result.status = child.wait(5s).value_or(-1);
  result.out = child.out();
  result.err = child.err();
  return result;
}

TEST(CapturePcm, ExplicitBuffersGiveExactBytes) {
  const struct {
    const char* name;
    std::string scenario;
    std::string channels;
    std::string bytes;
  } cases[] = {
      {"f32 full scale on the wire", device(1, "F32", explicit_stream({"[1.0,-1.0]"})), "0",
       std::string("\xff\x7f\x01\x80", 4)},
      {"u16 offset", device(1, "U16", explicit_stream({"[0,32768,65535]"})), "0",
       std::string("\x00\x80\x00\x00\xff\x7f", 6)},
      {"i16 bit for bit", device(1, "I16", explicit_stream({"[0,1,-1,32767,-32768,4660]"})), "0",
       encode_pcm({0, 1, -1, 32767, -32768, 4660})},
      {"order, partial frame dropped, short buffer writes nothing",
       device(4, "I16",
              explicit_stream({"[10,11,12,13,20,21,22,23,30,31]", "[1,2,3]", "[40,41,42,43]"})),
       "2,0", encode_pcm({12, 10, 22, 20, 42, 40})},
  };
  for (const auto& c : cases) {
    const auto result = capture_until(c.scenario, capture_args("Mic", c.channels), c.bytes.size());
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.out, c.bytes) << c.name;
    for (const auto& line : split_lines(result.err)) {
      EXPECT_FALSE(is_error(line)) << c.name << ": " << line;
    }
  }
}

// Buffer b of `frames` stereo frames: a square wave whose amplitude depends
// on b, so each buffer's levels differ from every other's.
std::vector<int> level_buffer(int b, int frames) {
  std::vector<int> samples;
  for (int f = 0; f < frames; ++f) {
    const int sign = f % 2 ? -1 : 1;
    samples.push_back(sign * (1000 + 3000 * b));
    samples.push_back(-sign * (500 + 700 * b + f));
  }
  return samples;
}

TEST(CaptureLevels, EachRecordDescribesTheBufferJustWritten) {
  constexpr int kBuffers = 6, kFrames = 96;
  std::vector<std::string> buffers;
  for (int b = 0; b < kBuffers; ++b) buffers.push_back(json_numbers(level_buffer(b, kFrames)));
  const auto result = capture_until(device(2, "I16", explicit_stream(buffers, 100)),
                                    capture_args("Mic", "1,0"), kBuffers * kFrames * 2 * 2);
  ASSERT_EQ(result.status, 0);
  ASSERT_EQ(result.out.size(), std::size_t{kBuffers * kFrames * 2 * 2});

  std::vector<std::string> expected;  // per buffer, from the PCM written for it
  const std::size_t block = kFrames * 2 * 2;
  for (int b = 0; b < kBuffers; ++b) {
    expected.push_back(levels_line_for(result.out.substr(b * block, block), 2));
  }
  std::size_t next = 0, records = 0;
  for (const auto& line : split_lines(result.err)) {
    if (!is_levels(line)) continue;
    ++records;
    const auto found = std::find(expected.begin() + next, expected.end(), line);
    ASSERT_NE(found, expected.end()) << "no buffer (in order) has levels " << line;
    next = static_cast<std::size_t>(found - expected.begin()) + 1;
  }
  // How many records come depends on how the machine schedules the buffers
  // (two late ones can fall within 50 ms); the spacing is the unit tests'.
  // The last buffer is never due before 500 ms, so it finds one due if no
  // earlier buffer did.
  EXPECT_GE(records, 1u);
}

// A real-time stream of 480-frame buffers (10 ms) of a sine on 2 channels.
std::string live(const std::string& extra = "") {
  return device(2, "F32", R"({"buffer_frames":480)" + extra + "}");
}

TEST(CaptureLifeline, RunsWhileHeldAndEndsPromptlyOnClose) {
  for (const bool runs_after_release : {true, false}) {
    SCOPED_TRACE(runs_after_release ? "runs after release" : "stops on release");
    TempDir dir;
    Child child(sim_exe(), capture_args("Mic", "1"),
                with_scenario(dir, live(std::string(R"(,"runs_after_release":)") +
                                        (runs_after_release ? "true" : "false"))));
    ASSERT_TRUE(child.wait_for_err_line("\"ready\""));
    EXPECT_TRUE(child.wait_for_out_bytes(child.out().size() + 20 * 960, 5s)) << "capture stopped";
    EXPECT_FALSE(child.wait(0ms).has_value()) << "ended while standard input was open";
    // The reference, cat, ends as soon as its input does: what it takes is
    // the machine's. A stream that ran on would hold up the exit.
    Child reference("/bin/cat", {});
    const auto exit = close_and_time_exit(child, reference, 2s);
    ASSERT_TRUE(exit) << "no exit";
    ASSERT_EQ(exit->status, 0);
    EXPECT_TRUE(exit->within(100ms))
        << "exit after " << exit->tool / 1ms << " ms; cat's " << exit->reference / 1ms << " ms";
    EXPECT_EQ(child.out().size() % 2, 0u);
  }
}

TEST(CaptureLifeline, EndsAtOnceWhenStandardInputIsAlreadyDone) {
  const struct {
    const char* name;
    ChildOptions options;
  } cases[] = {{"closed at start", options_with(&ChildOptions::close_stdin)},
               {"pipe closed at once", ChildOptions{}}};
  for (const auto& c : cases) {
    TempDir dir;
    const auto options = with_scenario(dir, live(), c.options);
    Child child(sim_exe(), capture_args("Mic", "0"), options);
    // A listing starts the tool the same way and exits once it has listed.
    Child reference(sim_exe(), {"--list"}, {.env = options.env});
    const auto exit = close_and_time_exit(child, reference, 2s);
    ASSERT_TRUE(exit) << c.name;
    ASSERT_EQ(exit->status, 0) << c.name;
    EXPECT_TRUE(exit->within(100ms)) << c.name << ": exit after " << exit->tool / 1ms
                                     << " ms; the listing's " << exit->reference / 1ms << " ms";
    const auto lines = split_lines(child.err());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ready_line(48000, 1)), 1) << c.name;
  }
}

TEST(CaptureLifeline, BytesOnStandardInputAreIgnored) {
  TempDir dir;
  Child child(sim_exe(), capture_args("Mic", "0,1"), with_scenario(dir, live()));
  ASSERT_TRUE(child.wait_for_err_line("\"ready\""));
  const std::string noise(1000, 'x');
  for (int i = 0; i < 10; ++i) {
    child.write_stdin(noise);
    child.write_stdin(std::string_view("\n\x04\0", 3));
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(child.wait_for_out_bytes(child.out().size() + 10 * 960, 5s)) << "capture stopped";
  EXPECT_FALSE(child.wait(0ms).has_value());
  child.close_stdin();
  EXPECT_EQ(child.wait(2s), 0);
  for (const auto& line : child.err_lines()) EXPECT_FALSE(is_error(line)) << line;
}

// The file status flags of standard input's pipe once a capture that
// started with them has ended.
int stdin_flags_after_capture(bool start_non_blocking) {
  TempDir dir;
  ChildOptions options;
  options.share_stdin = true;
  options.stdin_non_blocking = start_non_blocking;
  Child child(sim_exe(), capture_args("Mic", "0"), with_scenario(dir, live(), options));
  EXPECT_TRUE(child.wait_for_err_line("\"ready\""));
  std::this_thread::sleep_for(150ms);
  child.close_stdin();
  EXPECT_EQ(child.wait(), 0);
  return ::fcntl(child.stdin_reader(), F_GETFL);
}

TEST(CaptureLifeline, StandardInputFlagsAsBefore) {
  EXPECT_EQ(stdin_flags_after_capture(false) & O_NONBLOCK, 0);
  EXPECT_NE(stdin_flags_after_capture(true) & O_NONBLOCK, 0);
}

TEST(CaptureDeviceLoss, ReportedPerNotificationThenSilentUntilTheLifelineEnds) {
  const std::string lost = error_line(protocol::code::device_disconnected, kDeviceGone);
  for (const int notifications : {1, 3}) {
    SCOPED_TRACE(notifications);
    TempDir dir;
    Child child(sim_exe(), capture_args("Mic", "0,1"),
                with_scenario(dir, live(R"(,"disconnect":{"after_buffers":8,"notifications":)" +
                                        std::to_string(notifications) + "}")));
    ASSERT_TRUE(child.wait_for(
        [&](const Child& c) {
          return count_if_line(c, is_error) >= static_cast<std::size_t>(notifications);
        },
        5s));
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(child.wait(0ms).has_value()) << "a lost device ended the process";
    child.close_stdin();
    ASSERT_EQ(child.wait(2s), 0);

    // Exactly the buffers before the loss; no levels after its record.
    EXPECT_EQ(child.out().size(), std::size_t{8 * 480 * 2 * 2});
    bool after_loss = false;
    int losses = 0;
    for (const auto& line : child.err_lines()) {
      if (is_error(line)) {
        EXPECT_EQ(line + "\n", lost);
        ++losses;
        after_loss = true;
      }
      if (after_loss) {
        EXPECT_FALSE(is_levels(line)) << "levels after the loss";
      }
    }
    EXPECT_EQ(losses, notifications);
  }
}

TEST(CaptureStreamError, ReportedAndCaptureGoesOn) {
  TempDir dir;
  Child child(
      sim_exe(), capture_args("Mic", "0"),
      with_scenario(dir, live(R"(,"stream_errors":[{"after_buffers":3,"text":"overrun"}])")));
  ASSERT_TRUE(child.wait_for_err_line("\"error\"", 5s));
  const std::size_t at_error = child.out().size();
  EXPECT_TRUE(child.wait_for_out_bytes(at_error + 10 * 960, 5s)) << "PCM stopped after the error";
  child.close_stdin();
  ASSERT_EQ(child.wait(2s), 0);
  const auto lines = child.err_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), is_error), 1);
  EXPECT_NE(
      std::find(
          lines.begin(), lines.end(),
          R"({"type":"error","code":"device_disconnected","message":"A backend-specific error has occurred: overrun"})"),
      lines.end());
}

TEST(CaptureClosedOutput, LevelsKeepComingAndTheLifelineStillWorks) {
  const struct {
    const char* name;
    ChildOptions options;
    bool close_later;
  } cases[] = {
      {"reader gone from the start", options_with(&ChildOptions::broken_stdout), false},
      {"reader closes during capture", options_with(&ChildOptions::ignore_stdout), true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    Child child(sim_exe(), capture_args("Mic", "0,1"), with_scenario(dir, live(), c.options));
    ASSERT_TRUE(child.wait_for_err_line("\"ready\"")) << c.name;
    if (c.close_later) {
      std::this_thread::sleep_for(50ms);
      child.close_stdout_reader();
    }
    const std::size_t levels = count_if_line(child, is_levels);
    EXPECT_TRUE(child.wait_for(
        [&](const Child& ch) { return count_if_line(ch, is_levels) >= levels + 3; }, 3s))
        << c.name;
    child.close_stdin();
    EXPECT_EQ(child.wait(2s), 0) << c.name;
  }
}

}  // namespace
}  // namespace kestravo::testing
