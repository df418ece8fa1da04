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

// The tool beside parec on the same source at the same time: parec's bytes
// are the server's own, so what the server dropped or padded (PipeWire's
// FIFO source does when its writer or the graph falls behind) is in both,
// and any difference is the tool's.
TEST_P(SoundServerTest, CaptureDeliversTheSourcesSamplesExactly) {
  constexpr std::size_t kFrames = 24000;
  const struct {
    const char* driver;
    const char* source;
    bool float_samples;
    std::string channels;
    std::vector<std::size_t> picked;
  } cases[] = {
      {"Known Samples", "known", false, "1,0,0", {1, 0, 0}},
      {"known_float", "known_float", true, "0,1,1,0", {0, 1, 1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driver);
    const std::size_t frame_bytes = c.float_samples ? 8 : 4;
    const std::string known =
        c.float_samples ? float_noise(kFrames) : noise(kFrames * frame_bytes, 7);
    const std::size_t length = kFrames * c.picked.size() * 2;
    // PipeWire's FIFO source keeps back its last fraction of a period, and
    // plays silence before the first byte.
    const std::string padding = c.float_samples ? float_noise(12000) : noise(12000 * 4, 8);

    Child reference("/usr/bin/parec",
                    {"--raw", std::string("--device=") + c.source,
                     c.float_samples ? "--format=float32le" : "--format=s16le", "--rate=48000",
                     "--channels=2", "--latency-msec=20"},
                    server_.client_options());
    Child child(testing::real_exe(), {"--driver", c.driver, "--channels", c.channels},
                server_.client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    // Both record before the first byte is written.
    bool both = false;
    for (int i = 0; i < 500 && !both; ++i) {
      const std::string outputs = server_.pactl({"list", "short", "source-outputs"});
      both = std::count(outputs.begin(), outputs.end(), '\n') >= 2;
      if (!both) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(both);
    FifoWriter writer(server_.fifo(c.float_samples), known + padding);

    // Where the written samples begin in the server's stream: its first
    // frame that is not silence.
    const std::size_t out_frame = c.picked.size() * 2;
    const auto server_stream = [&] {
      const std::string pcm = expected_pcm(reference.out(), c.float_samples, c.picked);
      const auto first = pcm.find_first_not_of('\0');
      return first == std::string::npos ? std::string() : pcm.substr(first - first % out_frame);
    };
    std::string expected;
    std::size_t at = std::string::npos;
    ASSERT_TRUE(child.wait_for([&](const Child& ch) {
      expected = server_stream();
      if (expected.size() < length) return false;
      expected.resize(length);
      const std::string out = ch.out();
      at = out.find(expected.substr(0, 64));
      return at != std::string::npos && out.size() >= at + length;
    })) << reference.out().size()
        << " bytes from parec";
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(child.out().compare(at, length, expected) == 0);
    // The samples written, not only silence: most of them the server passed.
    EXPECT_LT(std::count(expected.begin(), expected.end(), '\0'), length / 4);
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
