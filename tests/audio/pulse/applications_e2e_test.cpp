// Each application's sound as a device of its own, on both servers (on
// PipeWire through PipeWire itself, on PulseAudio through the sound-server
// host): two applications play into one sink while the default source (the
// "microphone") carries a value of its own. A capture of one application
// carries that application and silence, and nothing else ever: not the other
// application, not the microphone, not the mix. pipewire-pulse puts such a
// capture on the microphone once its application stops, so there the
// sound-server host alone offers none.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sound_server.h"
#include "support/texts.h"
#include "test_sounds.h"

namespace kestravo {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::ConstantFifo;
using testing::ServerKind;
using testing::SoundServer;

struct Frames {
  std::size_t silent = 0;
  // One channel silent, the other a value's: the application's own sound
  // while PipeWire 1.4 brings a link into the mix a cycle after the other.
  std::size_t half = 0;
  std::map<int, std::size_t> runs;  // longest run of each value among `values`
  std::size_t other = 0;            // frames of none of them
  std::string first_other;          // where the first was, and what
};

// Stereo s16 frames from byte `from` on, each (about) (v, -v) for v in
// `values`, silence, half of such a frame, or other.
Frames frames(const std::string& out, std::size_t from, const std::vector<int>& values) {
  Frames f;
  int last = 0;
  std::size_t run = 0;
  for (std::size_t at = from / 4 * 4; at + 4 <= out.size(); at += 4) {
    std::int16_t frame[2];
    std::memcpy(frame, out.data() + at, 4);
    if (frame[0] == 0 && frame[1] == 0) {
      ++f.silent;
      run = 0;
      continue;
    }
    const auto near = [](int a, int b) { return std::abs(a - b) <= std::max(2, std::abs(b) / 50); };
    bool known = false;
    for (const int v : values) {
      if (!near(frame[0], v) || !near(frame[1], -v)) continue;
      known = true;
      run = v == last ? run + 1 : 1;
      last = v;
      f.runs[v] = std::max(f.runs[v], run);
    }
    const bool half = std::ranges::any_of(values, [&](int v) {
      return (frame[0] == 0 && near(frame[1], -v)) || (frame[1] == 0 && near(frame[0], v));
    });
    if (!known && half) {
      ++f.half;
      run = 0;
    } else if (!known) {
      if (f.other++ == 0) {
        f.first_other = "(" + std::to_string(frame[0]) + ", " + std::to_string(frame[1]) +
                        ") at frame " + std::to_string(at / 4);
      }
      run = 0;
    }
  }
  return f;
}

const std::string kLost =
    std::string(R"({"type":"error","code":"device_disconnected","message":")") +
    testing::kDeviceGone + R"("})";

std::string entry(const std::string& application) {
  return R"({"name":")" + application +
         R"x( (application)","inputs":2,"sampleRate":48000.0,)x"
         R"("channelNames":["Front Left","Front Right"]})";
}

class ApplicationsTest : public ::testing::TestWithParam<ServerKind> {
 protected:
  void SetUp() override {
    if (auto why = SoundServer::missing(GetParam())) GTEST_SKIP() << *why;
    server_.emplace(GetParam());
    // The microphone: the default source, carrying a value of its own.
    microphone_.emplace(server_->fifo(false), kMicrophone / 32768.0F, false);
    server_->pactl({"set-default-source", "known"});
  }
  std::string list(testing::ChildOptions options) const {
    return testing::run(testing::real_exe(), {"--list"}, {}, std::move(options)).out;
  }
  static constexpr std::int16_t kMicrophone = 1000;
  testing::TempDir dir_;
  std::optional<SoundServer> server_;
  std::optional<ConstantFifo> microphone_;
};

TEST_P(ApplicationsTest, ACaptureCarriesItsApplicationAndNothingElse) {
  enum Player { Meeting, MeetingToo, Browser };
  const struct {
    const char* name;
    std::int16_t value;
  } players[] = {{"Meeting", 3000}, {"Meeting", 2000}, {"Browser", 8000}};
  if (GetParam() == ServerKind::PipeWireNative) {
    // The sound-server host alone, where PipeWire's own socket is not found.
    const testing::Player meeting(*server_, players[Meeting].value,
                                  "--property=application.name=Meeting");
    auto alone = server_->client_options();
    alone.env["PIPEWIRE_RUNTIME_DIR"] = dir_.path();
    const std::string listing = list(alone);
    EXPECT_NE(listing.find("Monitor of Speakers"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("(application)"), std::string::npos) << listing;
  }
  struct Step {
    std::vector<Player> start, stop;
    int carries;  // what the capture carries afterwards, 0 for silence
    std::chrono::milliseconds hold{};
  };
  const struct {
    const char* name;
    std::vector<Player> before;  // playing before the capture starts
    std::vector<Step> steps;
    bool server_goes = false;  // at the end: the one loss
  } cases[] = {
      {"its own sound only", {Meeting, Browser}, {{{}, {}, 3000}}},
      {"silence while it stops, its sound when it returns",
       {Meeting, Browser},
       {{{}, {}, 3000}, {{}, {Meeting}, 0, 1500ms}, {{Meeting}, {}, 3000}}},
      {"started before it plays", {Browser}, {{{}, {}, 0, 1000ms}, {{Meeting}, {}, 3000}}},
      {"two streams of it mixed, then the server gone",
       {Meeting, Browser},
       {{{MeetingToo}, {}, 5000}},
       true},
  };
  const std::vector<int> meeting = {3000, 2000, 5000};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<Player, std::unique_ptr<testing::Player>> playing;
    const auto start = [&](Player p) {
      playing[p] = std::make_unique<testing::Player>(
          *server_, players[p].value,
          std::string("--property=application.name=") + players[p].name);
    };
    for (const Player p : c.before) start(p);
    // Listed after the monitors, in the order they began (PipeWire's graph
    // may show a stream a moment after its server lists it).
    std::string expected;
    for (const Player p : c.before) expected += "," + entry(players[p].name);
    std::string listing = list(server_->client_options());
    for (int i = 0; i < 50 && !listing.ends_with(expected + "]}\n"); ++i) {
      std::this_thread::sleep_for(100ms);
      listing = list(server_->client_options());
    }
    EXPECT_TRUE(listing.ends_with(expected + "]}\n")) << listing;
    Child child(testing::real_exe(), {"--driver", "Meeting (application)", "--channels", "0,1"},
                server_->client_options());
    ASSERT_TRUE(child.wait_for_err_line(R"({"type":"ready","sampleRate":48000.0,"channels":2})"));
    const testing::SchedulingLag lag;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      SCOPED_TRACE(i);
      const std::size_t from = child.out().size();
      const auto began = std::chrono::steady_clock::now();
      for (const Player p : step.stop) playing.erase(p);
      for (const Player p : step.start) start(p);
      EXPECT_TRUE(child.wait_for([&](const Child& ch) {
        Frames f = frames(ch.out(), from, meeting);
        return step.carries == 0 ? f.silent >= 4800 : f.runs[step.carries] >= 4800;
      })) << frames(child.out(), from, meeting).other;
      std::this_thread::sleep_for(step.hold);
      // While nothing plays the tool's own clock keeps the time (while it
      // plays, the server's pace does, which a loaded machine slows).
      if (step.carries == 0) {
        const double kept = static_cast<double>(child.out().size() - from) / (4 * 48000.0);
        EXPECT_GE(kept, testing::seconds_between(began, std::chrono::steady_clock::now()) - 0.2 -
                            lag.slack());
      }
    }
    if (c.server_goes) {
      microphone_.reset();  // its writes would end the test once the server is gone
      server_->signal_server(SIGKILL);
      EXPECT_TRUE(child.wait_for_err_line(kLost));
    }
    child.close_stdin();
    EXPECT_EQ(child.wait(), 0);
    // Never the microphone, the other application or the sink's mix.
    const Frames all = frames(child.out(), 0, meeting);
    EXPECT_EQ(all.other, 0U) << "the first: " << all.first_other << " of "
                             << child.out().size() / 4;
    // An application that stops is no loss; a server that goes is, once.
    for (const auto& line : child.err_lines()) {
      EXPECT_TRUE(line.starts_with(R"({"type":"ready",)") ||
                  line.starts_with(R"({"type":"levels",)") || line == kLost)
          << line;
    }
    EXPECT_EQ(std::ranges::count(child.err_lines(), kLost), c.server_goes ? 1 : 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, ApplicationsTest,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWireNative),
                         [](const auto& info) { return testing::server_name(info.param); });

}  // namespace
}  // namespace kestravo
