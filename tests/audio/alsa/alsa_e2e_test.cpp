// The real executable over ALSA, run the way the parent runs it, on a
// hermetic configuration: the listing line byte for byte, and captured PCM
// against both the known samples and arecord's capture of the same PCM.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "hermetic_alsa.h"
#include "support/child.h"

namespace kestravo {
namespace {

using testing::Child;
using testing::ChildOptions;
using testing::HermeticAlsa;

constexpr const char* kArecord = "/usr/bin/arecord";
// Capture picks the widest configuration: every PCM here is a plugin that
// reports the 32-channel cap, and I16 comes first, so a frame of the device
// is 32 little-endian 16-bit samples.
constexpr std::size_t kDeviceChannels = 32;
constexpr std::size_t kFrameBytes = kDeviceChannels * 2;

ChildOptions with_config(const HermeticAlsa& alsa) {
  ChildOptions options;
  options.env["ALSA_CONFIG_PATH"] = alsa.config;
  // A sound server on the machine would take the place of ALSA.
  options.env["PULSE_SERVER"] = "unix:/nonexistent/native";
  return options;
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string text = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += (i ? ",\"" : "\"") + names[i] + "\"";
  }
  return text + "]";
}

TEST(AlsaEndToEnd, ListingShowsTheOpenableCapturePcmsExactly) {
  HermeticAlsa alsa;
  const std::vector<std::string> unnamed(32, "");
  std::vector<std::string> mapped = {"Front Left",
                                     "Front Right",
                                     "Front Center",
                                     "LFE",
                                     "Rear Left",
                                     "Rear Right",
                                     "Front Left Center",
                                     "Front Right Center",
                                     "Rear Center",
                                     "Side Left",
                                     "Side Right",
                                     "Top Center",
                                     "Top Front Left",
                                     "Top Front Center",
                                     "Top Front Right",
                                     "Top Rear Left",
                                     "Top Rear Center",
                                     "Top Rear Right",
                                     "Top Front Left Center",
                                     "Top Front Right Center",
                                     "Left LFE",
                                     "Right LFE",
                                     "Top Side Left",
                                     "Top Side Right",
                                     "Bottom Center",
                                     "Bottom Left Center",
                                     "Bottom Right Center",
                                     "Unused",
                                     "Unknown",
                                     "Mono",
                                     "Front Left",
                                     "Front Right"};
  auto entry = [](const std::string& name, const std::vector<std::string>& names) {
    return R"({"name":")" + name + R"(","inputs":32,"sampleRate":48000.0,"channelNames":)" +
           quoted_list(names) + "}";
  };
  const std::string expected = R"({"type":"drivers","drivers":[)" + entry("capfile", unnamed) +
                               "," + entry("mapped", mapped) + "," + entry("smallmaps", unnamed) +
                               "]}\n";

  const auto result = testing::run(testing::real_exe(), {"--list"}, {}, with_config(alsa));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(result.err, "");
}

// The selected channels of whole device frames, in selection order.
std::string pick(const std::string& frames, const std::vector<std::size_t>& channels,
                 std::size_t frame_count) {
  std::string out;
  for (std::size_t f = 0; f < frame_count; ++f) {
    for (std::size_t c : channels) out.append(frames, f * kFrameBytes + c * 2, 2);
  }
  return out;
}

std::string arecord(const HermeticAlsa& alsa, unsigned rate, std::size_t frames) {
  EXPECT_EQ(access(kArecord, X_OK), 0) << "arecord (alsa-utils) is needed";
  const auto result =
      testing::run(kArecord,
                   {"-q", "-D", "capfile", "-f", "S16_LE", "-c", std::to_string(kDeviceChannels),
                    "-r", std::to_string(rate), "-t", "raw", "-s", std::to_string(frames)},
                   {}, with_config(alsa));
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out;
}

TEST(AlsaEndToEnd, CapturedPcmIsTheKnownFramesWithTheSelectedChannels) {
  // Half the infile: past its end the file plugin repeats its last chunk.
  constexpr std::size_t kFrames = 8192;
  HermeticAlsa alsa(2 * kFrames * kFrameBytes);
  const struct {
    std::string channels;
    std::vector<std::size_t> picked;
    std::optional<unsigned> rate;
  } cases[] = {
      {"0,1", {0, 1}, 48000},
      {"31,0,5,5", {31, 0, 5, 5}, 44100},
      {"0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31",
       {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
        16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31},
       std::nullopt},
  };
  for (const auto& c : cases) {
    const unsigned rate = c.rate.value_or(48000);
    std::vector<std::string> args = {"--driver", "capfile", "--channels", c.channels};
    if (c.rate) {
      args.push_back("--sample-rate");
      args.push_back(std::to_string(*c.rate));
    }
    Child child(testing::real_exe(), args, with_config(alsa));
    const std::size_t wanted = kFrames * c.picked.size() * 2;
    ASSERT_TRUE(child.wait_for_out_bytes(wanted)) << c.channels;
    child.close_stdin();
    ASSERT_EQ(child.wait(), 0) << c.channels;

    const std::string expected = pick(alsa.infile_bytes, c.picked, kFrames);
    const std::string peer = pick(arecord(alsa, rate, kFrames), c.picked, kFrames);
    EXPECT_EQ(peer, expected) << "arecord, " << c.channels;
    EXPECT_TRUE(child.out().compare(0, wanted, expected) == 0) << c.channels;

    const auto lines = child.err_lines();
    ASSERT_FALSE(lines.empty());
    const std::string ready = R"({"type":"ready","sampleRate":)" + std::to_string(rate) +
                              R"(.0,"channels":)" + std::to_string(c.picked.size()) + "}";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ready), 1) << c.channels;
    for (const auto& line : lines) {
      EXPECT_TRUE(line == ready || line.starts_with(R"({"type":"levels",)")) << line;
    }
  }
}

TEST(AlsaEndToEnd, PcmsThatAreNotCaptureDevicesAreNotFound) {
  HermeticAlsa alsa;
  for (const char* name : {"broken", "ghost", "speaker", "null"}) {
    const auto result = testing::run(testing::real_exe(), {"--driver", name, "--channels", "0"}, {},
                                     with_config(alsa));
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_EQ(result.out, "") << name;
    EXPECT_EQ(result.err, std::string(R"({"type":"error","code":"driver_not_found","message":)") +
                              "\"no input device named '" + name + "'\"}\n")
        << name;
  }
}

// ALSA plugins, and the libraries they load, print on descriptors 1 and 2
// with their own calls (JACK's client library does whenever no JACK server
// runs), and a process that a plugin starts inherits them. Neither may reach
// the parent: not a byte of it on standard output or error, and no pipe of
// the parent's held open after the tool has gone.
TEST(AlsaEndToEnd, PluginsNeitherPrintNorHoldTheParentsPipes) {
  ASSERT_EQ(access("/usr/lib/x86_64-linux-gnu/alsa-lib/libasound_module_pcm_jack.so", R_OK), 0)
      << "the JACK plugin (libasound2-plugins) is needed";
  testing::TempDir dir;
  const std::string jack = dir.write("jack.conf", R"(
pcm.jack {
  type jack
  capture_ports { 0 system:capture_1 1 system:capture_2 }
  hint { show on description "JACK, with no server running" }
}
pcm.quiet { type null hint { show on description "Null" } }
)");
  const std::string tee = dir.write("tee.conf", R"(
pcm.tee {
  type file
  slave.pcm { type null }
  file "|sleep 5"
  format "raw"
  hint { show on description "Everything captured also goes to a command" }
}
)");
  const std::string quiet_entry =
      R"({"name":"quiet","inputs":32,"sampleRate":48000.0,"channelNames":)" +
      quoted_list(std::vector<std::string>(32, "")) + "}";
  const struct {
    const char* name;
    std::string config;
    std::vector<std::string> args;
  } cases[] = {
      {"listing beside a JACK PCM", jack, {"--list"}},
      {"capture beside a JACK PCM", jack, {"--driver", "quiet", "--channels", "0"}},
      {"capture through a command", tee, {"--driver", "tee", "--channels", "1,0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChildOptions options;
    options.env["ALSA_CONFIG_PATH"] = c.config;
    Child child(testing::real_exe(), c.args, options);
    const bool listing = c.args[0] == "--list";
    if (!listing) {
      ASSERT_TRUE(child.wait_for_err_line("\"ready\""));
    }
    child.close_stdin();
    // wait() returns once the child has exited and both its pipes are at end
    // of file: the command the plugin started runs for 5 s more. Timed from
    // the exit, so how long the tool took to get there does not count.
    ASSERT_EQ(child.wait(std::chrono::seconds(10)), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - *child.exited_at(), std::chrono::seconds(3));
    if (listing) {
      EXPECT_EQ(child.out(), R"({"type":"drivers","drivers":[)" + quiet_entry + "]}\n");
      EXPECT_EQ(child.err(), "");
    } else {
      EXPECT_EQ(child.out().size() % 4, 0u);
      for (const auto& line : child.err_lines()) {
        EXPECT_TRUE(line.starts_with(R"({"type":"ready",)") ||
                    line.starts_with(R"({"type":"levels",)"))
            << line;
      }
    }
  }
}

// A file PCM whose infile is a FIFO without a writer blocks its opener for
// ever, as the pulse plugin does in front of a stopped server. Sequential
// waits of 2 s for each of five such PCMs would take 10 s. Each run is timed
// beside a reference, the same command with only the answering PCM, started
// and ended at the same moments: what the reference takes is the machine's.
TEST(AlsaEndToEnd, PcmsThatDoNotAnswerHoldUpNothing) {
  using namespace std::chrono_literals;
  using Clock = std::chrono::steady_clock;
  const std::string working = R"({"name":"ok","inputs":32,"sampleRate":48000.0,"channelNames":)" +
                              quoted_list(std::vector<std::string>(32, "")) + "}";
  const struct {
    int stalled;
    std::vector<std::string> args;
    int status;
    std::string out;  // for the listing
    std::string err;  // for a failure; a capture must be ready instead
  } cases[] = {
      {1, {"--list"}, 0, R"({"type":"drivers","drivers":[)" + working + "]}\n", ""},
      {5, {"--list"}, 0, R"({"type":"drivers","drivers":[)" + working + "]}\n", ""},
      {5,
       {"--driver", "stall3", "--channels", "0"},
       1,
       "",
       R"({"type":"error","code":"driver_open_failed",)"
       R"("message":"The requested device did not answer within 2 seconds."})"
       "\n"},
      {5, {"--driver", "ok", "--channels", "0"}, 0, "", ""},
  };
  for (const auto& c : cases) {
    const std::string what = std::to_string(c.stalled) + " stalled, " + c.args.back();
    testing::TempDir dir;
    std::string config;
    for (int i = 1; i <= c.stalled; ++i) {
      const std::string fifo = dir.path() + "/fifo" + std::to_string(i);
      ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
      config += "pcm.stall" + std::to_string(i) +
                R"( { type file; slave.pcm { type null }; file "/dev/null"; infile ")" + fifo +
                R"("; format "raw"; hint { show on description "Waits for a writer" } })" + "\n";
    }
    const std::string ok = R"(pcm.ok { type null; hint { show on description "Answers" } })";
    ChildOptions options, reference_options;
    options.env["ALSA_CONFIG_PATH"] = dir.write("asound.conf", config + ok);
    reference_options.env["ALSA_CONFIG_PATH"] = dir.write("answering.conf", ok);

    const auto started = Clock::now();
    Child child(testing::real_exe(), c.args, options);
    Child reference(testing::real_exe(), c.args, reference_options);
    const bool capturing = c.args.front() == "--driver" && c.status == 0;
    if (capturing) {
      ASSERT_TRUE(reference.wait_for_err_line(R"({"type":"ready",)", 10s)) << what;
      const auto reference_ready = Clock::now() - started;
      ASSERT_TRUE(child.wait_for_err_line(R"({"type":"ready",)", 10s)) << what;
      // Not held up by the others at all: their deadline alone is 2 s.
      EXPECT_LE(Clock::now() - started, 1s + 2 * reference_ready) << what;
    }
    const auto exit = testing::close_and_time_exit(child, reference, 10s);
    ASSERT_TRUE(exit) << what;
    ASSERT_EQ(exit->status, c.status) << what;
    if (!capturing) {
      // One deadline of 2 s for all of them.
      EXPECT_TRUE(exit->within(2s)) << what << ": " << exit->tool / 1ms << " ms, the reference "
                                    << exit->reference / 1ms << " ms";
      EXPECT_EQ(child.out(), c.out) << what;
      EXPECT_EQ(child.err(), c.err) << what;
    }
  }
}

}  // namespace
}  // namespace kestravo
