// The real executable against real sound servers, run the way the parent
// runs it: the listing line byte for byte, PCM from known samples byte for
// byte, device loss, and the fall-back to ALSA when no server answers. Every
// case runs on PulseAudio and again on PipeWire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>

#include "../alsa/hermetic_alsa.h"
#include "samples/convert.h"
#include "sound_server.h"

namespace kestravo {
namespace {

using testing::Child;
using testing::ChildOptions;
using testing::ServerKind;
using testing::SoundServer;

constexpr const char* kLost =
    R"({"type":"error","code":"device_disconnected","message":"The requested device is no longer available. For example, it has been unplugged."})";

bool is_record(const std::string& line) {
  return line.starts_with(R"({"type":"ready",)") || line.starts_with(R"({"type":"levels",)") ||
         line == kLost;
}

// Bytes with no short period, so a misplaced or repeated piece shows.
std::string noise(std::size_t n, std::uint32_t seed) {
  std::string bytes(n, '\0');
  for (char& byte : bytes) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// Stereo float frames: noise in [-1, 1] with the values the conversion
// treats specially among them.
std::string float_noise(std::size_t frames) {
  const std::string raw = noise(frames * 2 * 4, 99);
  std::vector<float> samples(frames * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, raw.data() + i * 4, 4);
    samples[i] = static_cast<float>(bits) / 2147483648.0F - 1.0F;
  }
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(), 1.5F, -1.5F, 1.0F, -1.0F};
  for (std::size_t i = 0; i < std::size(specials); ++i) samples[100 + i * 7] = specials[i];
  std::string bytes(samples.size() * 4, '\0');
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// What the tool writes for stereo `frames` with channels `picked`.
std::string expected_pcm(const std::string& frames, bool float_samples,
                         const std::vector<std::size_t>& picked) {
  const std::size_t sample_bytes = float_samples ? 4 : 2;
  std::string out;
  for (std::size_t f = 0; f + 2 * sample_bytes <= frames.size(); f += 2 * sample_bytes) {
    for (std::size_t c : picked) {
      const char* at = frames.data() + f + c * sample_bytes;
      if (!float_samples) {
        out.append(at, 2);
        continue;
      }
      float value = 0;
      std::memcpy(&value, at, 4);
      const std::int16_t sample = samples::f32_to_i16(value);
      out.append(reinterpret_cast<const char*>(&sample), 2);
    }
  }
  return out;
}

// Feeds a FIFO source in pieces the servers read whole (see the notes on
// module-pipe-source), until everything is written or the test is done.
class FifoWriter {
 public:
  FifoWriter(const std::string& path, std::string bytes)
      : thread_([this, path, bytes = std::move(bytes)] {
          const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
          if (fd < 0) return;
          // Room for everything at once: PipeWire plays silence whenever the
          // FIFO runs dry, as it would if this thread were held up.
          ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
          std::size_t at = 0;
          while (at < bytes.size() && !stop_) {
            const ssize_t n =
                ::write(fd, bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at));
            if (n > 0) {
              at += static_cast<std::size_t>(n);
            } else {
              std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
          }
          ::close(fd);
        }) {}
  ~FifoWriter() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SoundServerTest : public ::testing::TestWithParam<ServerKind> {
 protected:
  SoundServer server_{GetParam()};
};

std::string entry(const std::string& name, const std::vector<std::string>& channels) {
  std::string text = R"({"name":")" + name + R"(","inputs":)" + std::to_string(channels.size()) +
                     R"(,"sampleRate":48000.0,"channelNames":[)";
  for (std::size_t i = 0; i < channels.size(); ++i) text += (i ? ",\"" : "\"") + channels[i] + "\"";
  return text + "]}";
}

TEST_P(SoundServerTest, ListingShowsEverySourceByItsDescription) {
  const std::vector<std::string> stereo = {"Front Left", "Front Right"};
  const std::vector<std::string> entries = {
      entry("Built-in Audio Analog Stereo", stereo),
      entry("USB Headset Mono (usb_headset_1)", {"Mono"}),
      entry("USB Headset Mono (usb_headset_2)", {"Mono"}),
      entry("Quad-Interface Süd", {"Aux 0", "Aux 1", "Aux 2", "Aux 3"}),
      entry("Known Samples", stereo),
      entry("Known Float Samples", stereo),
      entry("Monitor of Speakers", stereo),
      entry("Monitor of Headphones", stereo),
  };
  std::string expected = R"({"type":"drivers","drivers":[)";
  for (std::size_t i = 0; i < entries.size(); ++i) expected += (i ? "," : "") + entries[i];
  expected += "]}\n";

  const auto result = testing::run(testing::real_exe(), {"--list"}, {}, server_.client_options());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, expected);
  EXPECT_EQ(result.err, "");
}

// How `out` follows `stream`, the server's stream of what was written, as
// the tool writes it: pieces of it in their order, whole frames each, with
// silence where the server padded and gaps where it dropped (PipeWire's FIFO
// source does both when its writer or the graph falls behind). Anything else
// (a piece out of order or repeated, a sample the stream does not have)
// leaves `problem` set.
struct Following {
  std::size_t matched = 0;  // bytes of out found in stream
  std::size_t reached = 0;  // how far into stream out got
  std::string problem;
};

Following follow(const std::string& out, const std::string& stream, std::size_t frame) {
  Following f;
  const std::string silence(frame, '\0');
  for (std::size_t at = 0; at + frame <= out.size(); at += frame) {
    if (out.compare(at, frame, stream, f.reached, frame) == 0) {
      f.matched += frame;
      f.reached += frame;
      continue;
    }
    if (out.compare(at, frame, silence) == 0) continue;
    // After a gap: the stream goes on further ahead, never behind.
    const std::string piece = out.substr(at, std::min<std::size_t>(64, out.size() - at));
    const auto found = stream.find(piece, f.reached);
    if (found == std::string::npos || found % frame != 0) {
      f.problem = "bytes " + std::to_string(at) + "-" + std::to_string(at + piece.size()) +
                  " are no later part of the stream (which got to " + std::to_string(f.reached) +
                  ")";
      return f;
    }
    f.reached = found;
    at -= frame;  // compared again, at its place in the stream
  }
  return f;
}

// Checked against what was written, whatever the server dropped or padded,
// so the check depends on nothing the machine's load decides.
TEST_P(SoundServerTest, CaptureDeliversTheSourcesSamplesExactly) {
  // A second's worth, and half a second more: PipeWire's FIFO source keeps
  // back its last fraction of a period.
  constexpr std::size_t kFrames = 48000;
  constexpr std::size_t kMore = 24000;
  const struct {
    const char* driver;
    bool float_samples;
    std::string channels;
    std::vector<std::size_t> picked;
  } cases[] = {
      {"Known Samples", false, "1,0,0", {1, 0, 0}},
      {"known_float", true, "0,1,1,0", {0, 1, 1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driver);
    const std::size_t frame_bytes = c.float_samples ? 8 : 4;
    const std::string written =
        c.float_samples ? float_noise(kFrames + kMore) : noise((kFrames + kMore) * frame_bytes, 7);
    const std::string stream = expected_pcm(written, c.float_samples, c.picked);
    const std::size_t out_frame = c.picked.size() * 2;
    const std::size_t known = kFrames * out_frame;

    Child child(testing::real_exe(), {"--driver", c.driver, "--channels", c.channels},
                server_.client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    FifoWriter writer(server_.fifo(c.float_samples), written);
    Following f;
    EXPECT_TRUE(child.wait_for([&](const Child& ch) {
      f = follow(ch.out(), stream, out_frame);
      return !f.problem.empty() || f.reached >= known;
    })) << f.reached;
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    f = follow(child.out(), stream, out_frame);
    EXPECT_EQ(f.problem, "");
    // Most of it came through, whatever the server dropped.
    EXPECT_GE(f.matched, known / 2);
    const std::string ready = R"({"type":"ready","sampleRate":48000.0,"channels":)" +
                              std::to_string(c.picked.size()) + "}";
    const auto lines = child.err_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ready), 1);
    for (const auto& line : lines) EXPECT_TRUE(line == ready || is_record(line)) << line;
  }
}

TEST_P(SoundServerTest, RatesAreTheServersToResample) {
  {
    Child child(
        testing::real_exe(),
        {"--driver", "Built-in Audio Analog Stereo", "--channels", "0,1", "--sample-rate", "16000"},
        server_.client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"({"type":"ready","sampleRate":16000.0,"channels":2})"));
    EXPECT_TRUE(child.wait_for_out_bytes(1600 * 4));
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.out().size() % 4, 0U);
  }
  const auto result = testing::run(
      testing::real_exe(),
      {"--driver", "Built-in Audio Analog Stereo", "--channels", "0", "--sample-rate", "7999"}, {},
      server_.client_options());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(
      result.err,
      R"({"type":"error","code":"sample_rate_unsupported","message":"device will not run at 7999 Hz"})"
      "\n");
}

TEST_P(SoundServerTest, LosingTheDeviceIsReportedOnceAndTheCaptureRunsOn) {
  enum class Loss { SourceRemoved, SessionManagerKilled, ServerKilled };
  const struct {
    const char* how;
    Loss loss;
  } cases[] = {{"source removed", Loss::SourceRemoved},
               {"session manager killed", Loss::SessionManagerKilled},
               {"server killed", Loss::ServerKilled}};
  // Killing the server comes last: it leaves none for a later case.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    // PipeWire's alone, on a server of its own: without the session manager
    // no later stream would run.
    std::optional<SoundServer> own;
    if (c.loss == Loss::SessionManagerKilled) {
      if (GetParam() != ServerKind::PipeWire) continue;
      own.emplace(GetParam());
    }
    const SoundServer& server = own ? *own : server_;
    const std::string module = server.pactl({"load-module", "module-null-sink", "sink_name=gone"});
    ASSERT_FALSE(module.empty());
    // Named by the server's own name of the source.
    Child child(testing::real_exe(), {"--driver", "gone.monitor", "--channels", "0"},
                server.client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    const std::string unload = module.substr(0, module.find('\n'));
    switch (c.loss) {
      case Loss::SourceRemoved:
        server.pactl({"unload-module", unload});
        break;
      case Loss::SessionManagerKilled:
        // The data, once it flows, just stops: the watchdog tells after
        // about 3 s.
        ASSERT_TRUE(child.wait_for_out_bytes(2));
        server.kill_session_manager();
        break;
      case Loss::ServerKilled:
        ::kill(server.pulse_pid(), SIGKILL);
        break;
    }
    ASSERT_TRUE(child.wait_for_err_line(kLost));
    // Still running: only the lifeline ends it.
    EXPECT_FALSE(child.wait(std::chrono::milliseconds(300)));
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    const auto lines = child.err_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kLost), 1);
    for (const auto& line : lines) EXPECT_TRUE(is_record(line)) << line;
  }
}

// A stall of the parent's reading, of the tool itself or of the server is
// no lost device: it gives no record, and PCM flows again once it is over
// (what the server dropped meanwhile is its own loss).
TEST_P(SoundServerTest, StallsLoseNoDeviceAndThePcmFlowsAgain) {
  using std::chrono::seconds;
  enum class Stall { Reader, Tool, Server };
  const struct {
    const char* how;
    Stall stall;
    seconds length;
  } cases[] = {
      {"the reader stalls 4 s", Stall::Reader, seconds(4)},
      {"the reader stalls 10 s", Stall::Reader, seconds(10)},
      {"the tool is stopped 4 s", Stall::Tool, seconds(4)},
      {"the server is stopped 4 s", Stall::Server, seconds(4)},
  };
  constexpr std::size_t kSecond = 48000 * 4;  // of PCM, two channels
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    Child child(testing::real_exe(),
                {"--driver", "Built-in Audio Analog Stereo", "--channels", "0,1"},
                server_.client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    ASSERT_TRUE(child.wait_for_out_bytes(kSecond / 10));
    switch (c.stall) {
      case Stall::Reader:
        child.hold_stdout(c.length);
        std::this_thread::sleep_for(c.length);
        break;
      case Stall::Tool:
        ::kill(child.pid(), SIGSTOP);
        std::this_thread::sleep_for(c.length);
        ::kill(child.pid(), SIGCONT);
        break;
      case Stall::Server:
        server_.signal_server(SIGSTOP);
        std::this_thread::sleep_for(c.length);
        server_.signal_server(SIGCONT);
        break;
    }
    // What piled up during the stall drains within moments; what comes
    // after that is new.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const std::size_t drained = child.out().size();
    EXPECT_TRUE(child.wait_for_out_bytes(drained + kSecond / 2)) << drained;
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    for (const auto& line : child.err_lines()) {
      EXPECT_TRUE(line != kLost && is_record(line)) << line;
    }
    EXPECT_EQ(child.out().size() % 4, 0U);
  }
}

TEST_P(SoundServerTest, AParentThatStopsReadingDoesNotHoldUpTheExit) {
  auto options = server_.client_options();
  options.ignore_stdout = true;
  Child child(testing::real_exe(),
              {"--driver", "Built-in Audio Analog Stereo", "--channels", "0,1,0,1"}, options);
  ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
  // A full pipe: the source delivers 384 kB/s into a pipe that holds 64 kB.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  child.close_stdin();
  EXPECT_EQ(child.wait(std::chrono::seconds(5)), 0);
}

// ALSA's listing, on a hermetic ALSA configuration, with libpulse unloadable.
struct AlsaFallback {
  testing::HermeticAlsa alsa;
  testing::TempDir empty_lib;
  std::string expected;

  AlsaFallback() {
    empty_lib.write("libpulse.so.0", "");
    expected = list(without_libpulse()).out;
  }
  ChildOptions options() const {
    ChildOptions o;
    o.env["ALSA_CONFIG_PATH"] = alsa.config;
    return o;
  }
  ChildOptions without_libpulse() const {
    auto o = options();
    o.env["LD_LIBRARY_PATH"] = empty_lib.path();
    return o;
  }
  static testing::RunResult list(const ChildOptions& o) {
    return testing::run(testing::real_exe(), {"--list"}, {}, o);
  }
};

TEST_P(SoundServerTest, AStoppedServerCostsAboutASecondThenAlsaLists) {
  AlsaFallback fallback;
  auto options = fallback.options();
  options.env.merge(server_.client_options().env);
  ::kill(server_.pulse_pid(), SIGSTOP);
  const auto start = std::chrono::steady_clock::now();
  const auto result = AlsaFallback::list(options);
  const auto took = std::chrono::steady_clock::now() - start;
  ::kill(server_.pulse_pid(), SIGCONT);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, fallback.expected);
  EXPECT_EQ(result.err, "");
  // libpulse alone would wait 30 s.
  EXPECT_LT(took, std::chrono::seconds(10));
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerTest,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire),
                         [](const auto& info) { return testing::server_name(info.param); });

TEST(NoSoundServer, AlsaListsAsWithoutAServer) {
  AlsaFallback fallback;
  EXPECT_NE(fallback.expected.find(R"({"name":"capfile")"), std::string::npos);
  auto no_server = fallback.options();
  no_server.env["PULSE_SERVER"] = "unix:" + fallback.empty_lib.path() + "/no-such-socket";
  for (const auto& options : {no_server, fallback.without_libpulse()}) {
    const auto result = AlsaFallback::list(options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, fallback.expected);
    EXPECT_EQ(result.err, "");
  }
}

}  // namespace
}  // namespace kestravo
