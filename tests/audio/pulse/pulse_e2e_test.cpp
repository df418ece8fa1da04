// The real executable against real sound servers, run the way the parent
// runs it: the listing line byte for byte, PCM from known samples byte for
// byte, device loss, and the fall-back to ALSA when no server answers. Every
// case runs on PulseAudio and again on PipeWire, and the Windows build runs
// them under Wine, whose audio driver speaks to PulseAudio.
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
#include <regex>
#include <set>
#include <thread>

#include "../alsa/hermetic_alsa.h"
#include "samples/convert.h"
#include "sound_server.h"

namespace kestravo {
namespace {

using testing::Child;
using testing::ChildOptions;
using testing::Platform;
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

// What the tool writes for stereo `frames` with channels `picked`. Under
// Wine 16-bit samples reach the tool as float (s / 32768), and so take the
// float rule.
std::string expected_pcm(const std::string& frames, bool float_samples,
                         const std::vector<std::size_t>& picked, bool through_float = false) {
  const std::size_t sample_bytes = float_samples ? 4 : 2;
  std::string out;
  for (std::size_t f = 0; f + 2 * sample_bytes <= frames.size(); f += 2 * sample_bytes) {
    for (std::size_t c : picked) {
      const char* at = frames.data() + f + c * sample_bytes;
      if (!float_samples && through_float) {
        std::int16_t sample = 0;
        std::memcpy(&sample, at, 2);
        const std::int16_t converted = samples::f32_to_i16(static_cast<float>(sample) / 32768.0F);
        out.append(reinterpret_cast<const char*>(&converted), 2);
        continue;
      }
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

struct Setup {
  ServerKind server;
  Platform platform;
};

std::string setup_name(const Setup& setup) {
  return std::string(testing::server_name(setup.server)) +
         (setup.platform == Platform::Wine ? "Wine" : "");
}

void PrintTo(const Setup& setup, std::ostream* out) { *out << setup_name(setup); }

class SoundServerTest : public ::testing::TestWithParam<Setup> {
 protected:
  void SetUp() override {
    if (program().exe.empty()) GTEST_SKIP() << "no Windows build and Wine named here";
    server_.emplace(GetParam().server);
  }
  bool wine() const { return GetParam().platform == Platform::Wine; }
  testing::Program program() const { return testing::real_program(GetParam().platform); }
  Child start(const std::vector<std::string>& args, ChildOptions options) const {
    return Child(program().exe, program().with(args), std::move(options));
  }
  testing::RunResult run(const std::vector<std::string>& args, ChildOptions options) const {
    return testing::run(program().exe, program().with(args), {}, std::move(options));
  }

  std::optional<SoundServer> server_;
};

std::string entry(const std::string& name, const std::vector<std::string>& channels) {
  std::string text = R"({"name":")" + name + R"(","inputs":)" + std::to_string(channels.size()) +
                     R"(,"sampleRate":48000.0,"channelNames":[)";
  for (std::size_t i = 0; i < channels.size(); ++i) text += (i ? ",\"" : "\"") + channels[i] + "\"";
  return text + "]}";
}

TEST_P(SoundServerTest, ListingShowsEverySourceByItsDescription) {
  const std::vector<std::string> stereo = {"Front Left", "Front Right"};
  // Wine lists its own alias of the default source, and the sources in an
  // order of its own (their endpoint ids', which differ from prefix to
  // prefix: compared as sets here); mono as front center and four channels
  // as quad. Repeated names carry the endpoint id, shown here as ID.
  const std::vector<std::string> entries =
      wine() ? std::vector<std::string>{
                   entry("PulseAudio", stereo),
                   entry("USB Headset Mono (ID)", {"Front Center"}),
                   entry("Built-in Audio Analog Stereo", stereo),
                   entry("USB Headset Mono (ID)", {"Front Center"}),
                   entry("Quad-Interface Süd",
                         {"Front Left", "Front Right", "Rear Left", "Rear Right"}),
                   entry("Known Samples", stereo),
                   entry("Known Float Samples", stereo),
                   entry("Monitor of Headphones", stereo),
                   entry("Monitor of Speakers", stereo),
               }
             : std::vector<std::string>{
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

  const auto result = run({"--list"}, server_->client_options());
  EXPECT_EQ(result.status, 0);
  std::string out = result.out;
  if (wine()) {
    const std::regex id(R"( \(\{0\.0\.1\.00000000\}\.\{[0-9A-Fa-f-]{36}\}\))");
    std::set<std::string> ids;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), id); it != std::sregex_iterator();
         ++it) {
      ids.insert(it->str());
    }
    EXPECT_EQ(ids.size(), 2U) << out;  // two endpoints, two ids
    out = std::regex_replace(out, id, " (ID)");
    const auto sorted_entries = [](const std::string& line) {
      std::vector<std::string> parts;
      const std::regex entry_pattern(R"(\{"name".*?\]\})");
      for (auto it = std::sregex_iterator(line.begin(), line.end(), entry_pattern);
           it != std::sregex_iterator(); ++it) {
        parts.push_back(it->str());
      }
      std::ranges::sort(parts);
      return parts;
    };
    EXPECT_EQ(sorted_entries(out), sorted_entries(expected)) << out;
    EXPECT_TRUE(out.starts_with(R"({"type":"drivers","drivers":[{)") && out.ends_with("}]}\n"));
    out = expected;
  }
  EXPECT_EQ(out, expected);
  EXPECT_EQ(result.err, "");
}

TEST_P(SoundServerTest, CaptureDeliversTheSourcesSamplesExactly) {
  constexpr std::size_t kFrames = 24000;
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
    const std::string known =
        c.float_samples ? float_noise(kFrames) : noise(kFrames * frame_bytes, 7);
    const std::string expected = expected_pcm(known, c.float_samples, c.picked, wine());
    // Under Wine a device's other name is its endpoint id.
    const std::string driver =
        wine() && c.driver == std::string("known_float") ? "Known Float Samples" : c.driver;
    // PipeWire's FIFO source keeps back its last fraction of a period, and
    // plays silence before the first byte.
    const std::string padding = c.float_samples ? float_noise(12000) : noise(12000 * 4, 8);

    Child child = start({"--driver", driver, "--channels", c.channels}, server_->client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    FifoWriter writer(server_->fifo(c.float_samples), known + padding);
    const std::string head = expected.substr(0, 64);
    ASSERT_TRUE(child.wait_for([&](const Child& ch) {
      const std::string out = ch.out();
      const auto at = out.find(head);
      return at != std::string::npos && out.size() >= at + expected.size();
    }));
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    const std::string out = child.out();
    EXPECT_TRUE(out.compare(out.find(head), expected.size(), expected) == 0);
    const std::string ready = R"({"type":"ready","sampleRate":48000.0,"channels":)" +
                              std::to_string(c.picked.size()) + "}";
    const auto lines = child.err_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ready), 1);
    for (const auto& line : lines) EXPECT_TRUE(line == ready || is_record(line)) << line;
  }
}

TEST_P(SoundServerTest, RatesAreTheServersToResample) {
  {
    Child child = start(
        {"--driver", "Built-in Audio Analog Stereo", "--channels", "0,1", "--sample-rate", "16000"},
        server_->client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"({"type":"ready","sampleRate":16000.0,"channels":2})"));
    EXPECT_TRUE(child.wait_for_out_bytes(1600 * 4));
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.out().size() % 4, 0U);
  }
  const auto result =
      run({"--driver", "Built-in Audio Analog Stereo", "--channels", "0", "--sample-rate", "7999"},
          server_->client_options());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(
      result.err,
      R"({"type":"error","code":"sample_rate_unsupported","message":"device will not run at 7999 Hz"})"
      "\n");
}

TEST_P(SoundServerTest, LosingTheDeviceIsReportedOnceAndTheCaptureRunsOn) {
  const struct {
    const char* how;
    bool kill_server;
  } cases[] = {{"source removed", false}, {"server killed", true}};
  // Killing the server comes last: it leaves none for a later case.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    const std::string module =
        server_->pactl({"load-module", "module-null-sink", "sink_name=gone"});
    ASSERT_FALSE(module.empty());
    // Named by the server's own name of the source; under Wine by its
    // description.
    Child child =
        start({"--driver", wine() ? "Monitor of Null Output" : "gone.monitor", "--channels", "0"},
              server_->client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    if (c.kill_server) {
      ::kill(server_->pulse_pid(), SIGKILL);
    } else {
      server_->pactl({"unload-module", module.substr(0, module.find('\n'))});
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

TEST_P(SoundServerTest, AParentThatStopsReadingDoesNotHoldUpTheExit) {
  // What Wine itself takes to end a process once the program has ended it:
  // a command-line error exits right after its record.
  std::chrono::steady_clock::duration platform_exit{};
  if (wine()) {
    Child failing = start({}, {});
    failing.close_stdin();
    ASSERT_EQ(failing.wait(), 1);
    ASSERT_FALSE(failing.err_chunks().empty());
    platform_exit = *failing.exited_at() - failing.err_chunks().back().at;
  }
  for (const bool reading : {true, false}) {
    SCOPED_TRACE(reading ? "reading" : "stopped reading");
    auto options = server_->client_options();
    options.ignore_stdout = !reading;
    Child child =
        start({"--driver", "Built-in Audio Analog Stereo", "--channels", "0,1,0,1"}, options);
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    // A full pipe: the source delivers 384 kB/s into a pipe that holds 64 kB.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto closed = std::chrono::steady_clock::now();
    child.close_stdin();
    EXPECT_EQ(child.wait(std::chrono::seconds(5)), 0);
    // 100 ms is what the tool promises; the rest is room for a loaded
    // machine to schedule us.
    EXPECT_LE(*child.exited_at() - closed, std::chrono::milliseconds(200) + platform_exit);
  }
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
  if (wine()) GTEST_SKIP() << "Windows has no ALSA to fall back to";
  AlsaFallback fallback;
  auto options = fallback.options();
  options.env.merge(server_->client_options().env);
  ::kill(server_->pulse_pid(), SIGSTOP);
  const auto start = std::chrono::steady_clock::now();
  const auto result = AlsaFallback::list(options);
  const auto took = std::chrono::steady_clock::now() - start;
  ::kill(server_->pulse_pid(), SIGCONT);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, fallback.expected);
  EXPECT_EQ(result.err, "");
  // libpulse alone would wait 30 s.
  EXPECT_LT(took, std::chrono::seconds(10));
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerTest,
                         ::testing::Values(Setup{ServerKind::PulseAudio, Platform::Linux},
                                           Setup{ServerKind::PipeWire, Platform::Linux},
                                           Setup{ServerKind::PulseAudio, Platform::Wine}),
                         [](const auto& info) { return setup_name(info.param); });

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
