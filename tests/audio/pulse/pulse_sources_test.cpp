// The listing's order and names from plain source descriptions: what no
// fixture server shows, the names of duplicates whatever order the devices
// were plugged in.
#include <gtest/gtest.h>

#include "audio/pulse/sources.h"

namespace kestravo::audio::pulse {
namespace {

Source source(std::uint32_t index, std::string name, std::string description,
              std::string monitor_of = {}) {
  Source s;
  s.index = index;
  s.name = std::move(name);
  s.description = std::move(description);
  s.monitor = !monitor_of.empty();
  s.monitor_of_sink = std::move(monitor_of);
  return s;
}

std::vector<std::string> listed(const std::vector<Source>& sources) {
  std::vector<std::string> names;
  for (const auto& s : sources) names.push_back(s.listed_name);
  return names;
}

TEST(PulseSources, TheServersDefaultsAndMonitorsGiveTheOrder) {
  const struct {
    std::string default_source, default_sink;
    std::vector<std::string> listed;
  } cases[] = {
      {"mic",
       "speakers",
       {"Default Input", "Mic", "Headset", "bare_source", "Monitor of Default Output",
        "Monitor of Speakers", "Monitor of Other"}},
      // A monitor made the default source is the default input.
      {"other.monitor",
       "",
       {"Default Input", "Monitor of Other", "Headset", "Mic", "bare_source",
        "Monitor of Speakers"}},
      // No default source, and a default sink without a monitor: nothing to
      // follow.
      {"", "nosuch", {"Headset", "Mic", "bare_source", "Monitor of Other", "Monitor of Speakers"}},
  };
  for (const auto& c : cases) {
    const auto arranged = arrange_sources(
        {source(9, "other.monitor", "Monitor of Other", "other"), source(3, "usb_a", "Headset"),
         source(5, "mic", "Mic"), source(6, "bare_source", ""),
         source(10, "speakers.monitor", "Monitor of Speakers", "speakers")},
        c.default_source, c.default_sink);
    EXPECT_EQ(listed(arranged), c.listed) << c.default_source;
  }
}

TEST(PulseSources, AFollowingStreamIsInPlaceOnlyWhereItBelongs) {
  const struct {
    Follow follow;
    const char* target;
    const char* current;
    bool in_place;
  } cases[] = {
      {Follow::DefaultInput, "mic", "mic", true},
      // The server moves an input's stream to the new default by itself.
      {Follow::DefaultInput, "mic", "headset", true},
      {Follow::DefaultOutput, "speakers.monitor", "speakers.monitor", true},
      // Put on a microphone by the server, or not yet moved.
      {Follow::DefaultOutput, "speakers.monitor", "mic", false},
      {Follow::DefaultOutput, "speakers.monitor", nullptr, false},
      // No default device at all: nothing to follow.
      {Follow::DefaultInput, "", "mic", false},
      {Follow::DefaultOutput, "", "speakers.monitor", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(follows_in_place(c.follow, c.target, c.current), c.in_place)
        << c.target << " / " << (c.current != nullptr ? c.current : "(none)");
  }
}

// Applications are the clients that play; a module's stream (a loopback of
// the microphone into a sink) is none, and would carry the microphone.
TEST(PulseSources, ApplicationsAreTheClientsThatPlayEachOnceInTheOrderTheyBegan) {
  const std::vector<SinkInput> streams = {
      {.index = 7, .sink = 1, .from_client = true, .application = "Browser"},
      {.index = 4, .sink = 1, .from_client = false, .application = "Loopback from Mic"},
      {.index = 5, .sink = 2, .from_client = true, .application = "Meeting"},
      {.index = 9, .sink = 1, .from_client = true, .application = "Meeting"},
  };
  EXPECT_EQ(playing_applications(streams), (std::vector<std::string>{"Meeting", "Browser"}));
  const auto arranged =
      arrange_sources({source(3, "speakers.monitor", "Monitor of Speakers", "speakers")}, "",
                      "speakers", playing_applications(streams));
  EXPECT_EQ(listed(arranged),
            (std::vector<std::string>{"Monitor of Default Output", "Monitor of Speakers",
                                      "Meeting (application)", "Browser (application)"}));
}

}  // namespace
}  // namespace kestravo::audio::pulse
