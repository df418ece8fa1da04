// The real executable against real sound servers, run the way the parent
// runs it: the listing line byte for byte, PCM from known samples byte for
// byte, device loss, the fall-back to ALSA when no server answers, and the
// one budget that servers and PCMs answering slowly cannot stretch. Every
// case runs on PulseAudio and again on PipeWire, and the Windows build runs
// the cases it shares under Wine, whose audio driver speaks to PulseAudio.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "../alsa/hermetic_alsa.h"
#include "audio/deadline.h"
#include "samples/convert.h"
#include "sound_server.h"
#include "support/texts.h"
#include "test_sounds.h"

namespace kestravo {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::ChildOptions;
using testing::ConstantFifo;
using testing::Platform;
using testing::Player;
using testing::SchedulingLag;
using testing::seconds_between;
using testing::ServerKind;
using testing::SoundServer;

const std::string kLost =
    std::string(R"({"type":"error","code":"device_disconnected","message":")") +
    testing::kDeviceGone + R"("})";

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
  // With `per_second`, no further ahead of that many bytes a second than a
  // tenth of a second: PipeWire 1.x's FIFO source drops what goes beyond
  // its latency.
  FifoWriter(const std::string& path, std::string bytes, std::size_t per_second = 0,
             std::size_t frame = 8)
      : thread_([this, path, bytes = std::move(bytes), per_second, frame] {
          const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
          if (fd < 0) return;
          // Room for everything at once: PipeWire plays silence whenever the
          // FIFO runs dry, as it would if this thread were held up.
          ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
          const auto start = std::chrono::steady_clock::now();
          std::size_t at = 0;
          while (at < bytes.size() && !stop_) {
            std::size_t allowed = bytes.size();
            if (per_second != 0) {
              const std::chrono::duration<double> s = std::chrono::steady_clock::now() - start;
              // Whole frames: PipeWire 1.x's FIFO source loses its place in a
              // frame that comes in two pieces.
              const auto due = static_cast<std::size_t>((s.count() + 0.1) * per_second);
              allowed = std::min(allowed, due - due % frame);
            }
            const ssize_t n = at >= allowed ? 0
                                            : ::write(fd, bytes.data() + at,
                                                      std::min<std::size_t>(4096, allowed - at));
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
    if (auto why = SoundServer::missing(GetParam().server)) GTEST_SKIP() << *why;
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

  // Describes a source anew, through the server's command line (pactl
  // cannot).
  void describe_source(const std::string& source, const std::string& description) const {
    const testing::TempDir dir;
    const std::string path = dir.path() + "/cli";
    const std::string module =
        server_->pactl({"load-module", "module-cli-protocol-unix", "socket=" + path});
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      const std::string command =
          "update-source-proplist " + source + " device.description=\"" + description + "\"\n";
      ::send(fd, command.data(), command.size(), MSG_NOSIGNAL);
      // The server closes the connection once it has read everything.
      ::shutdown(fd, SHUT_WR);
      char buffer[256];
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
    }
    ::close(fd);
    server_->pactl({"unload-module", module.substr(0, module.find('\n'))});
  }
  // Under Wine, where the server's monitors are capture endpoints: as
  // "Speakers Tap" and "Headphones Tap", so that "Monitor of" names only
  // what WASAPI captures of the outputs.
  void rename_monitors() const {
    describe_source("speakers.monitor", "Speakers Tap");
    describe_source("headphones.monitor", "Headphones Tap");
  }

  std::optional<SoundServer> server_;
};

// Whether no two devices of a listing line have the same name.
bool names_are_unique(const std::string& listing) {
  const std::regex name_pattern(R"re("name":"((?:[^"\\]|\\.)*)")re");
  std::set<std::string> names;
  for (auto it = std::sregex_iterator(listing.begin(), listing.end(), name_pattern);
       it != std::sregex_iterator(); ++it) {
    if (!names.insert((*it)[1]).second) return false;
  }
  return true;
}

std::string entry(const std::string& name, const std::vector<std::string>& channels) {
  std::string text = R"({"name":")" + name + R"(","inputs":)" + std::to_string(channels.size()) +
                     R"(,"sampleRate":48000.0,"channelNames":[)";
  for (std::size_t i = 0; i < channels.size(); ++i) text += (i ? ",\"" : "\"") + channels[i] + "\"";
  return text + "]}";
}

TEST_P(SoundServerTest, ListingShowsEverySourceByItsDescription) {
  const std::vector<std::string> stereo = {"Front Left", "Front Right"};
  // Wine lists its own aliases of the default source and sink, and the
  // sources in an order of its own (their endpoint ids', which differ from
  // prefix to prefix: compared as sets here); mono as front center and four
  // channels as quad. Repeated names carry the endpoint id, shown here as
  // ID. The server's monitors are capture endpoints there, renamed so that
  // "Monitor of" names only what WASAPI captures of the outputs.
  if (wine()) rename_monitors();
  const std::vector<std::string> entries =
      wine() ? std::vector<std::string>{
                   entry("Default Input", stereo),
                   entry("PulseAudio Input", stereo),
                   entry("USB Headset Mono (ID)", {"Front Center"}),
                   entry("Built-in Audio Analog Stereo", stereo),
                   entry("USB Headset Mono (ID)", {"Front Center"}),
                   entry("Quad-Interface Süd",
                         {"Front Left", "Front Right", "Rear Left", "Rear Right"}),
                   entry("Known Samples", stereo),
                   entry("Known Float Samples", stereo),
                   entry("Headphones Tap", stereo),
                   entry("Speakers Tap", stereo),
                   entry("Monitor of Default Output", stereo),
                   entry("Monitor of PulseAudio Output", stereo),
                   entry("Monitor of Headphones", stereo),
                   entry("Monitor of Speakers", stereo),
               }
             : std::vector<std::string>{
                   entry("Default Input", stereo),
                   entry("Built-in Audio Analog Stereo", stereo),
                   entry("USB Headset Mono (usb_headset_1)", {"Mono"}),
                   entry("USB Headset Mono (usb_headset_2)", {"Mono"}),
                   entry("Quad-Interface Süd", {"Aux 0", "Aux 1", "Aux 2", "Aux 3"}),
                   entry("Known Samples", stereo),
                   entry("Known Float Samples", stereo),
                   entry("Monitor of Default Output", stereo),
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
  // Wine's driver keeps what the server sends at once only up to its
  // stream's buffer (a second), and the FIFO source sends all it is given
  // at once: under Wine, half as much.
  const std::size_t frames = wine() ? kFrames / 2 : kFrames;
  const std::size_t more = wine() ? kMore / 2 : kMore;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driver);
    const std::size_t frame_bytes = c.float_samples ? 8 : 4;
    const std::string written =
        c.float_samples ? float_noise(frames + more) : noise((frames + more) * frame_bytes, 7);
    const std::string stream = expected_pcm(written, c.float_samples, c.picked, wine());
    const std::size_t out_frame = c.picked.size() * 2;
    const std::size_t known = frames * out_frame;

    // Under Wine a device's other name is its endpoint id.
    const std::string driver =
        wine() && c.driver == std::string("known_float") ? "Known Float Samples" : c.driver;
    Child child = start({"--driver", driver, "--channels", c.channels}, server_->client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    FifoWriter writer(server_->fifo(c.float_samples), written,
                      SoundServer::pipewire_root().empty() ? 0 : frame_bytes * 48000);
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

// PipeWire carries 64 channels in one stream, where its sound-server
// protocol stops at 32: natively a 64-channel source lists and captures
// whole, each channel in its place.
TEST_P(SoundServerTest, SixtyFourChannelsListAndCaptureWhole) {
  if (GetParam().server != ServerKind::PipeWireNative) {
    GTEST_SKIP() << "The sound-server protocol carries at most 32 channels";
  }
  constexpr std::size_t kChannels = 64;
  constexpr std::size_t kFrame = kChannels * 2;
  constexpr std::size_t kFrames = 24000;
  const SoundServer wide(GetParam().server, false, true);
  std::vector<std::string> names;
  for (std::size_t c = 0; c < kChannels; ++c) names.push_back("Aux " + std::to_string(c));
  const std::string listing = run({"--list"}, wide.client_options()).out;
  EXPECT_NE(listing.find(entry("Wide Samples", names)), std::string::npos) << listing;

  const std::vector<std::size_t> picked = {63, 0, 32, 31};
  const std::string written = noise((kFrames + kFrames / 2) * kFrame, 11);
  std::string stream;
  for (std::size_t f = 0; f + kFrame <= written.size(); f += kFrame) {
    for (const std::size_t c : picked) stream.append(written, f + 2 * c, 2);
  }
  const std::size_t out_frame = picked.size() * 2;
  Child child =
      start({"--driver", "Wide Samples", "--channels", "63,0,32,31"}, wide.client_options());
  ASSERT_TRUE(child.wait_for_err_line(R"({"type":"ready","sampleRate":48000.0,"channels":4})"));
  // The source's silence passes once every channel's link carries it (the
  // tool stands silence in for its first buffers): what is written from
  // then on comes through.
  ASSERT_TRUE(child.wait_for_out_bytes(4096 * out_frame));
  FifoWriter writer(wide.wide_fifo(), written,
                    SoundServer::pipewire_root().empty() ? 0 : kFrame * 48000, kFrame);
  Following f;
  EXPECT_TRUE(child.wait_for([&](const Child& ch) {
    f = follow(ch.out(), stream, out_frame);
    return !f.problem.empty() || f.reached >= kFrames * out_frame;
  })) << f.reached;
  child.close_stdin();
  EXPECT_EQ(child.wait(), 0);
  f = follow(child.out(), stream, out_frame);
  EXPECT_EQ(f.problem, "");
  // A quantum's worth at least, each channel in its place: PipeWire's FIFO
  // source drops much of 6 MB a second on a loaded machine.
  EXPECT_GE(f.matched, 1024 * out_frame);
  for (const auto& line : child.err_lines()) EXPECT_TRUE(is_record(line)) << line;
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
  enum class Loss { SourceRemoved, SessionManagerKilled, ServerKilled };
  const struct {
    const char* how;
    Loss loss;
    const char* driver;
  } cases[] = {
      // Named by the server's own name of the source.
      {"source removed", Loss::SourceRemoved, "gone.monitor"},
      {"session manager killed", Loss::SessionManagerKilled, "gone.monitor"},
      // A device that follows the default gives up only with the server.
      {"server killed", Loss::ServerKilled, "Default Input"},
  };
  // Killing the server comes last: it leaves none for a later case.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    // PipeWire's alone, on a server of its own: without the session manager
    // no later stream would run.
    std::optional<SoundServer> own;
    if (c.loss == Loss::SessionManagerKilled) {
      if (GetParam().server == ServerKind::PulseAudio) continue;
      own.emplace(GetParam().server);
    }
    const SoundServer& server = own ? *own : *server_;
    const std::string module = server.pactl({"load-module", "module-null-sink", "sink_name=gone"});
    ASSERT_FALSE(module.empty());
    // Under Wine every case names the source by its description: Windows
    // has neither the server's names nor the following devices.
    Child child =
        start({"--driver", wine() ? "Monitor of Null Output" : c.driver, "--channels", "0"},
              server.client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    const std::string unload = module.substr(0, module.find('\n'));
    switch (c.loss) {
      case Loss::SourceRemoved:
        server.pactl({"unload-module", unload});
        break;
      case Loss::SessionManagerKilled:
        // Through the sound-server protocol the data, once it flows, just
        // stops: the watchdog tells after about 3 s. Natively the tool's
        // own links carry on, and so does the source.
        ASSERT_TRUE(child.wait_for_out_bytes(2));
        server.kill_session_manager();
        if (GetParam().server == ServerKind::PipeWireNative) {
          const std::size_t before = child.out().size();
          std::this_thread::sleep_for(std::chrono::milliseconds(4000));
          EXPECT_TRUE(child.wait_for_out_bytes(before + 48000 * 2));
          child.close_stdin();
          EXPECT_EQ(child.wait(), 0);
          for (const auto& line : child.err_lines()) {
            EXPECT_TRUE(line != kLost && is_record(line)) << line;
          }
          continue;
        }
        break;
      case Loss::ServerKilled:
        ::kill(server.client_server_pid(), SIGKILL);
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
      {"the tool is stopped 4 s", Stall::Tool, seconds(4)},
      {"the server is stopped 4 s", Stall::Server, seconds(4)},
  };
  constexpr std::size_t kSecond = 48000 * 4;  // of PCM, two channels
  if (wine()) GTEST_SKIP() << "Stalls are the sound-server host's own (its stall watch)";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    Child child(testing::real_exe(),
                {"--driver", "Built-in Audio Analog Stereo", "--channels", "0,1"},
                server_->client_options());
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
        server_->signal_server(SIGSTOP);
        std::this_thread::sleep_for(c.length);
        server_->signal_server(SIGCONT);
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
  const std::vector<std::string> args{"--driver", "Built-in Audio Analog Stereo", "--channels",
                                      "0,1,0,1"};
  enum class Reads { Both, StandardError, Neither };
  for (const Reads reads : {Reads::Both, Reads::StandardError, Reads::Neither}) {
    SCOPED_TRACE(static_cast<int>(reads));
    auto options = server_->client_options();
    options.ignore_stdout = reads != Reads::Both;
    // Standard error's pipe full from the start: no record gets out.
    options.defer_stderr = options.fill_stderr = reads == Reads::Neither;
    Child child = start(args, options);
    // The same capture with a parent that reads everything: what its exit
    // takes is the machine's (and, under Wine, Wine's own).
    Child reference = start(args, server_->client_options());
    if (reads == Reads::Neither) {
      pollfd pcm{child.stdout_reader(), POLLIN, 0};
      ASSERT_EQ(::poll(&pcm, 1, 10000), 1);
    } else {
      ASSERT_TRUE(child.wait_for_err_line(R"("type":"ready")"));
    }
    ASSERT_TRUE(reference.wait_for_err_line(R"("type":"ready")"));
    // A full pipe: the source delivers 384 kB/s into a pipe that holds 64 kB.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto exit = close_and_time_exit(child, reference);
    ASSERT_TRUE(exit) << "no exit";
    EXPECT_EQ(exit->status, 0);
    // 100 ms is what the tool promises.
    EXPECT_TRUE(exit->within(std::chrono::milliseconds(100)))
        << "exit after " << exit->tool / std::chrono::milliseconds(1)
        << " ms; with a parent that reads everything, "
        << exit->reference / std::chrono::milliseconds(1) << " ms";
  }
}

// Whether stdout from byte `from` on holds `frames` frames in a row of about
// (v, -v), for one of `values`; whole frames from the first byte, so a torn
// frame shows as (-v, v).
std::optional<std::size_t> run_at(const std::string& out, std::size_t from,
                                  const std::vector<int>& values, int frames = 480) {
  int run = 0;
  int run_value = 0;
  for (std::size_t at = from / 4 * 4; at + 4 <= out.size(); at += 4) {
    std::int16_t frame[2];
    std::memcpy(frame, out.data() + at, 4);
    const auto near = [](int a, int b) { return std::abs(a - b) <= std::max(2, std::abs(b) / 50); };
    const auto it = std::ranges::find_if(
        values, [&](int v) { return near(frame[0], v) && near(frame[1], -v); });
    if (it == values.end()) {
      run = 0;
    } else if (run > 0 && *it == run_value) {
      ++run;
    } else {
      run = 1;
      run_value = *it;
    }
    if (run >= frames) return at + 4 - static_cast<std::size_t>(frames) * 4;
  }
  return std::nullopt;
}

bool plays(const std::string& out, std::size_t from, const std::vector<int>& values,
           int frames = 480) {
  return run_at(out, from, values, frames).has_value();
}

// Seconds of stereo PCM in `out`.
double pcm_seconds(const std::string& out) {
  return static_cast<double>(out.size()) / (4 * 48000.0);
}

// The following devices keep capturing whatever the desktop uses now: a new
// default device, or the one the server picks when the default goes; and
// the monitors keep time while there is nothing to play: an idle output, no
// output at all for a while. The PCM is as long as the capture ran, within
// 100 ms, measured so that the machine's load can only favour the tool: from
// the ready record as the test saw it to the moment the test closed standard
// input, and from the start to the exit; a loaded machine's late wake-ups
// are added to the 100 ms.
TEST_P(SoundServerTest, TheDefaultDevicesFollowTheDesktop) {
  if (wine()) GTEST_SKIP() << "Windows offers no desktop-following devices";
  enum class Server { Playing, Idle, NoOutputs };
  struct Step {
    std::vector<std::vector<std::string>> pactl;
    std::vector<int> values;          // what the capture carries afterwards
    const char* play_into = nullptr;  // a new player's sink, after the commands
    std::chrono::milliseconds hold{};
  };
  const struct {
    const char* driver;
    // Playing: the test server, with a player on each output and both FIFO
    // sources fed; otherwise a server of the case's own, with its outputs
    // idle or with none.
    Server server;
    std::vector<Step> steps;  // on a server of its own, the first before the capture
  } cases[] = {
      {"default",
       Server::Playing,
       {{{{"set-default-source", "known"}}, {1000}},
        {{{"set-default-source", "known_float"}}, {8192}},
        {{{"set-default-source", "known"}}, {1000}}}},
      // The monitor left behind carries silence, or the other player alone.
      {"@DEFAULT_MONITOR@",
       Server::Playing,
       {{{}, {5000}},
        {{{"set-default-sink", "headphones"}}, {3000, 8000}},
        {{{"set-default-sink", "speakers"}}, {5000, 8000}}}},
      // The default output unplugged: the server picks another.
      {"Monitor of Default Output",
       Server::Playing,
       {{{{"load-module", "module-null-sink", "sink_name=gone"}, {"set-default-sink", "gone"}},
         {8000}},
        {{{"unload-module", "$loaded"}}, {3000, 5000, 8000}}}},
      {"Monitor of Default Output", Server::Idle, {{{}, {0}, nullptr, 3000ms}}},
      // The only output gone for 5 s, then a new one.
      {"Monitor of Default Output",
       Server::NoOutputs,
       {{{{"load-module", "module-null-sink", "sink_name=first"}, {"set-default-sink", "first"}},
         {3000},
         "first"},
        {{{"unload-module", "$loaded"}}, {0}, nullptr, 5000ms},
        {{{"load-module", "module-null-sink", "sink_name=second"}, {"set-default-sink", "second"}},
         // PipeWire moves the first player to the new output.
         {5000, 8000},
         "second",
         500ms}}},
  };
  // For every case on the test server, one after another.
  ConstantFifo known(server_->fifo(false), 1000.0F / 32768.0F, false);
  ConstantFifo known_float(server_->fifo(true), 0.25F, true);
  Player headphones(*server_, 3000, "--device=headphones");
  Player speakers(*server_, 5000, "--device=speakers");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.driver) + " " + std::to_string(static_cast<int>(c.server)));
    std::optional<SoundServer> own;
    if (c.server != Server::Playing) own.emplace(GetParam().server, c.server == Server::Idle);
    const SoundServer& server = own ? *own : *server_;
    std::vector<std::unique_ptr<Player>> players;
    std::string loaded;  // the module the last load-module made
    const auto take = [&](const Step& step) {
      for (auto command : step.pactl) {
        std::ranges::replace(command, std::string("$loaded"), loaded);
        const std::string said = server.pactl(command);
        if (command.front() == "load-module") loaded = said.substr(0, said.find('\n'));
      }
      if (step.play_into != nullptr) {
        players.push_back(std::make_unique<Player>(server, step.values.front(),
                                                   std::string("--device=") + step.play_into));
      }
    };
    if (own) take(c.steps.front());
    const auto started = std::chrono::steady_clock::now();
    Child child(testing::real_exe(), {"--driver", c.driver, "--channels", "0,1"},
                server.client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"({"type":"ready","sampleRate":48000.0,"channels":2})"))
        << child.err();
    const auto ready = std::chrono::steady_clock::now();
    const SchedulingLag lag;
    std::string began;  // where each step began, in seconds of PCM
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      SCOPED_TRACE(i);
      const std::size_t from = child.out().size();
      began += " " + std::to_string(pcm_seconds(child.out()));
      if (!own || i > 0) take(step);
      EXPECT_TRUE(
          child.wait_for([&](const Child& ch) { return plays(ch.out(), from, step.values); }));
      std::this_thread::sleep_for(step.hold);
    }
    const auto closing = std::chrono::steady_clock::now();
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    const auto exited = std::chrono::steady_clock::now();
    EXPECT_EQ(child.out().size() % 4, 0U);
    EXPECT_GE(pcm_seconds(child.out()), seconds_between(ready, closing) - 0.1 - lag.slack());
    // Nothing there runs ahead of the clock (the FIFOs and the players do).
    if (own) {
      EXPECT_LE(pcm_seconds(child.out()), seconds_between(started, exited) + 0.1);
    }
    for (const auto& line : child.err_lines())
      EXPECT_TRUE(is_record(line) && line != kLost) << line;
    // A monitor never carries the default source (now "known"), not even
    // for the moment the server puts it there when its sink goes.
    if (std::string_view(c.driver) != "default") {
      const auto at = run_at(child.out(), 0, {1000}, 48);
      EXPECT_FALSE(at) << "at " << static_cast<double>(at.value_or(0)) / (4 * 48000.0)
                       << " s of PCM; the steps began at" << began << " s";
    }
  }
}

// Under Wine: what the outputs play, through WASAPI's loopback of each
// render endpoint and of the default one, and the default input. A tone
// comes back exactly (16 bits reach the tool as float, s / 32768); an
// output where nothing plays is silence that keeps time (Wine sends zeros,
// Windows nothing, which the pacer fills); and a plain name that a capture
// endpoint shares with a loopback opens the one listed first.
TEST_P(SoundServerTest, WindowsCapturesWhatTheOutputsPlay) {
  if (!wine()) GTEST_SKIP() << "WASAPI's loopback and default endpoints";
  rename_monitors();
  Player speakers(*server_, 5000, "--device=speakers");
  std::string tone(4, '\0');
  for (const int i : {0, 1}) {
    const std::int16_t sample =
        samples::f32_to_i16(static_cast<float>(i ? -5000 : 5000) / 32768.0F);
    std::memcpy(tone.data() + 2 * i, &sample, 2);
  }
  const struct {
    const char* driver;
    bool tone;  // else silence
  } cases[] = {
      {"Monitor of Speakers", true}, {"Monitor of Default Output", true},
      {"@DEFAULT_MONITOR@", true},   {"Monitor of Headphones", false},
      {"Default Input", false},      {"default", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driver);
    const auto started = std::chrono::steady_clock::now();
    Child child = start({"--driver", c.driver, "--channels", "0,1"}, server_->client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"({"type":"ready","sampleRate":48000.0,"channels":2})"));
    const auto ready = std::chrono::steady_clock::now();
    if (c.tone) {
      EXPECT_TRUE(child.wait_for([&](const Child& ch) {
        std::string run;
        for (int i = 0; i < 4800; ++i) run += tone;
        return ch.out().find(run) != std::string::npos;
      }));
    } else {
      std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    const auto closing = std::chrono::steady_clock::now();
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    const auto exited = std::chrono::steady_clock::now();
    EXPECT_EQ(child.out().size() % 4, 0U);
    if (!c.tone) {
      EXPECT_EQ(child.out().find_first_not_of('\0'), std::string::npos);
      EXPECT_GE(pcm_seconds(child.out()), seconds_between(ready, closing) - 0.2);
    }
    EXPECT_LE(pcm_seconds(child.out()), seconds_between(started, exited) + 0.1);
    for (const auto& line : child.err_lines()) EXPECT_TRUE(is_record(line)) << line;
  }
  // A four-channel capture endpoint named as the headphones' loopback.
  describe_source("quad", "Monitor of Headphones");
  const auto result =
      run({"--driver", "Monitor of Headphones", "--channels", "5"}, server_->client_options());
  const std::string listing = run({"--list"}, server_->client_options()).out;
  EXPECT_NE(result.err.find("(device has 4"), std::string::npos) << result.err << listing;
  EXPECT_TRUE(names_are_unique(listing)) << listing;
}

// Names stored from any listing find their source while it is there, twins
// coming and going. "--channels 5" makes the tool say how many channels the
// device it found has, and stop.
TEST_P(SoundServerTest, StoredNamesKeepFindingTheirSource) {
  const auto found = [&](const std::string& driver) {
    const auto result = run({"--driver", driver, "--channels", "5"}, server_->client_options());
    const std::string has = "(device has ";
    const auto at = result.err.find(has);
    return at == std::string::npos ? 0 : result.err[at + has.size()] - '0';
  };
  const struct {
    const char* driver;
    int channels;  // of the source it finds; 0: none
  } before[] =
      {
          {"default", 2},
          {"@DEFAULT_SOURCE@", 2},
          {"@DEFAULT_MONITOR@", 2},
          {"USB Headset Mono", 1},  // the first of two
          {"Monitor of Speakers (speakers.monitor)", 2},
      },
    with_twin[] =
        {
            {"Monitor of Speakers", 2},
            {"Monitor of Speakers (twin.monitor)", 1},
            // Another source described as the first twin is listed: the
            // twin keeps the name.
            {"Monitor of Speakers (speakers.monitor)", 2},
            {"Monitor of Speakers (speakers.monitor) (impostor.monitor)", 4},
        },
    after[] = {
        {"Monitor of Speakers (twin.monitor)", 0},
        {"Monitor of Speakers (speakers.monitor)", 2},
        {"Monitor of Speakers", 2},
    };
  // Windows' endpoint ids are not the server's names: there, only twins
  // that the plain name finds, the first of them.
  if (wine()) {
    EXPECT_EQ(found("USB Headset Mono"), 1);
    return;
  }
  for (const auto& c : before) EXPECT_EQ(found(c.driver), c.channels) << c.driver;
  // A mono twin of the speakers: the same description.
  const std::string twin =
      server_->pactl({"load-module", "module-null-sink", "sink_name=twin", "channels=1",
                      "channel_map=mono", "sink_properties=device.description=Speakers"});
  ASSERT_FALSE(twin.empty());
  const std::string impostor =
      server_->pactl({"load-module", "module-null-sink", "sink_name=impostor", "channels=4",
                      "sink_properties='device.description=\"Speakers (speakers.monitor)\"'"});
  ASSERT_FALSE(impostor.empty());
  for (const auto& c : with_twin) EXPECT_EQ(found(c.driver), c.channels) << c.driver;
  // No two devices are listed alike.
  const std::string listing = run({"--list"}, server_->client_options()).out;
  EXPECT_TRUE(names_are_unique(listing)) << listing;
  server_->pactl({"unload-module", impostor.substr(0, impostor.find('\n'))});
  server_->pactl({"unload-module", twin.substr(0, twin.find('\n'))});
  for (const auto& c : after) EXPECT_EQ(found(c.driver), c.channels) << c.driver;
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

// Stands between libpulse and a server on a socket of its own, and holds
// back what the server says: each piece `delay` after it came, and nothing
// at all after the first `forwarded` pieces of a connection. What the client
// says reaches the server at once. libpulse waits for the answer to each of
// its messages before it sends the next, so every message is answered late.
class SlowServer {
 public:
  SlowServer(const SoundServer& server, const std::string& path, std::chrono::milliseconds delay,
             std::size_t forwarded = std::numeric_limits<std::size_t>::max())
      : server_path_(server.client_options().env.at("PULSE_SERVER")->substr(5)),
        path_(path),
        delay_(delay),
        forwarded_(forwarded) {
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un address = unix_address(path_);
    if (::bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 16) != 0) {
      throw std::runtime_error("cannot listen on " + path_);
    }
    accept_ = std::thread([this] { accept_loop(); });
  }
  ~SlowServer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    // The accepting thread first: it is the one that adds to threads_.
    accept_.join();
    for (auto& thread : threads_) thread.join();
    for (int fd : fds_) ::close(fd);
    ::close(listen_fd_);
  }
  SlowServer(const SlowServer&) = delete;
  SlowServer& operator=(const SlowServer&) = delete;

  std::string address() const { return "unix:" + path_; }

 private:
  static sockaddr_un unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
  }

  void accept_loop() {
    for (;;) {
      pollfd ready{listen_fd_, POLLIN, 0};
      ::poll(&ready, 1, 20);
      std::lock_guard lock(mutex_);
      if (stop_) return;
      const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int upstream = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const sockaddr_un address = unix_address(server_path_);
      ::connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address);
      fds_.push_back(client);
      fds_.push_back(upstream);
      threads_.emplace_back([this, client, upstream] { pass(client, upstream, false); });
      threads_.emplace_back([this, client, upstream] { pass(upstream, client, true); });
    }
  }

  void pass(int from, int to, bool hold_back) {
    std::vector<char> buffer(1 << 16);
    for (std::size_t pieces = 0;; ++pieces) {
      const ssize_t n = ::read(from, buffer.data(), buffer.size());
      if (n <= 0) break;
      if (hold_back) {
        std::unique_lock lock(mutex_);
        if (pieces >= forwarded_) {
          stopped_.wait(lock, [this] { return stop_; });
          break;
        }
        if (stopped_.wait_for(lock, delay_, [this] { return stop_; })) break;
      }
      if (::send(to, buffer.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) break;
    }
    ::shutdown(from, SHUT_RDWR);
    ::shutdown(to, SHUT_RDWR);
  }

  const std::string server_path_;
  const std::string path_;
  const std::chrono::milliseconds delay_;
  const std::size_t forwarded_;
  int listen_fd_ = -1;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::vector<int> fds_;
  std::thread accept_;
  std::vector<std::thread> threads_;  // the accepting thread's, under mutex_
};

// A listing answers within the budget however slowly servers and PCMs
// answer, and a capture is ready or has failed within it: the tool waits for
// answers until kAnswerBudget after its start, in all, and everything else it
// does (starting, listing what did answer, exiting) fits in the half second
// more. Timed from the child's start until its exit is seen, beside a
// reference that takes what the machine makes it.
TEST_P(SoundServerTest, SlowAnswersFitInOneBudget) {
  if (wine()) GTEST_SKIP() << "Slow servers and the fall-back to ALSA are Linux's";
  // Natively, PipeWire stopped as a whole: its share, then the sound
  // server's, then ALSA, within the one budget. The slow servers are the
  // sound-server protocol's: the PipeWire row's.
  const bool native = GetParam().server == ServerKind::PipeWireNative;
  using namespace std::chrono_literals;
  constexpr auto kBound = audio::kAnswerBudget + 500ms;
  AlsaFallback fallback;
  std::string ok_entry = R"({"name":"ok","inputs":32,"sampleRate":48000.0,"channelNames":[)";
  for (int i = 0; i < 32; ++i) ok_entry += i ? R"(,"")" : R"("")";
  ok_entry += "]}";
  const std::string ok_only = R"({"type":"drivers","drivers":[)" + ok_entry + "]}\n";
  const std::string no_answer =
      R"({"type":"error","code":"driver_open_failed",)"
      R"("message":"The requested device did not answer within 2 seconds."})"
      "\n";
  enum class Server { None, Slow, Stopped };
  const struct {
    const char* what;
    Server server;
    std::chrono::milliseconds delay;
    std::size_t forwarded;
    int slow_pcms;  // ALSA pulse PCMs through the slow server, beside "ok"
    std::vector<std::string> args;
    int status;
    std::string out;  // what the output must be; empty: the listing must hold ok_entry
    std::string err;
  } cases[] = {
      // One open of such a PCM takes 1.2 s; each asked its own deadline, a
      // listing opened it four times.
      {"one slow PCM", Server::None, 600ms, SIZE_MAX, 1, {"--list"}, 0, "", ""},
      {"three slow PCMs", Server::None, 600ms, SIZE_MAX, 3, {"--list"}, 0, "", ""},
      {"capture of a slow PCM",
       Server::None,
       600ms,
       SIZE_MAX,
       1,
       {"--driver", "slow1", "--channels", "0"},
       1,
       "",
       no_answer},
      // The server takes longer than its share to set up, and ALSA's PCM in
      // front of it answers as slowly.
      {"server answering late", Server::Slow, 950ms, SIZE_MAX, 1, {"--list"}, 0, ok_only, ""},
      {"server stalling after the handshake",
       Server::Slow,
       0ms,
       2,
       0,
       {"--list"},
       0,
       fallback.expected,
       ""},
      {"server stopped", Server::Stopped, 0ms, 0, 0, {"--list"}, 0, fallback.expected, ""},
  };
  for (const auto& c : cases) {
    if (native && c.server != Server::Stopped) continue;
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    SlowServer slow(*server_, dir.path() + "/slow.sock", c.delay, c.forwarded);
    const std::string ok = R"(pcm.ok { type null; hint { show on description "Answers" } })"
                           "\n";
    std::string config = ok;
    for (int i = 1; i <= c.slow_pcms; ++i) {
      config += "pcm.slow" + std::to_string(i) + R"( { type pulse; server ")" + slow.address() +
                R"("; hint { show on description "Through a slow server" } })" + "\n";
    }
    ChildOptions options;
    // What the server would share through memory it hands over with the
    // socket's ancillary data, which the slow server does not pass on.
    options.env["PULSE_CLIENTCONFIG"] =
        dir.write("client.conf", "enable-shm = no\nenable-memfd = no\n");
    options.env["ALSA_CONFIG_PATH"] =
        c.slow_pcms > 0 ? dir.write("asound.conf", config) : fallback.alsa.config;
    options.env["PULSE_SERVER"] = c.server == Server::Slow ? slow.address()
                                  : c.server == Server::Stopped
                                      ? *server_->client_options().env.at("PULSE_SERVER")
                                      : "unix:" + dir.path() + "/no-server";
    // The same command with nothing slow to ask, started and timed beside
    // it: what the reference takes is the machine's.
    ChildOptions reference_options = options;
    reference_options.env["ALSA_CONFIG_PATH"] = dir.write("ok.conf", ok);
    reference_options.env["PULSE_SERVER"] = "unix:" + dir.path() + "/no-server";
    if (native) {
      options.env["PIPEWIRE_RUNTIME_DIR"] =
          server_->client_options().env.at("PIPEWIRE_RUNTIME_DIR");
      reference_options.env["PIPEWIRE_RUNTIME_DIR"] = dir.path();
    }
    const auto stop = [&](int sig) {
      if (c.server != Server::Stopped) return;
      if (native) {
        server_->signal_server(sig);
      } else {
        ::kill(server_->pulse_pid(), sig);
      }
    };
    stop(SIGSTOP);
    Child child(testing::real_exe(), c.args, options);
    Child reference(testing::real_exe(), c.args, reference_options);
    const auto exit = testing::close_and_time_exit(child, reference, 20s);
    stop(SIGCONT);
    ASSERT_TRUE(exit) << "no exit";
    ASSERT_EQ(exit->status, c.status);
    // A sanitizer build runs the tool several times slower; twice the bound
    // still tells one budget from budgets that add up.
    EXPECT_LT(exit->tool,
              (std::getenv("KESTRAVO_SANITIZED") ? 2 * kBound : kBound) + 2 * exit->reference)
        << exit->reference / 1ms << " ms for the reference";
    if (c.out.empty() && c.status == 0) {
      EXPECT_TRUE(child.out().starts_with(R"({"type":"drivers","drivers":[)")) << child.out();
      EXPECT_NE(child.out().find(ok_entry), std::string::npos) << child.out();
    } else {
      EXPECT_EQ(child.out(), c.out);
    }
    EXPECT_EQ(child.err(), c.err);
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, SoundServerTest,
                         ::testing::Values(Setup{ServerKind::PulseAudio, Platform::Linux},
                                           Setup{ServerKind::PipeWire, Platform::Linux},
                                           Setup{ServerKind::PipeWireNative, Platform::Linux},
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
