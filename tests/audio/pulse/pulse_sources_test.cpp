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

TEST(PulseSources, OrderAndNamesDependOnlyOnTheSourcesThemselves) {
  // Descriptions that differ only in bytes that are not UTF-8 are listed
  // alike, so they are twins too.
  const std::vector<std::string> expected = {
      "Default Input",
      "Mic",
      "Headset (usb_b)",
      "Headset (usb_a)",
      "bare_source",
      "Cam \xEF\xBF\xBD (cam_a)",
      "Cam \xEF\xBF\xBD (cam_b)",
      "Monitor of Default Output",
      "Monitor of Speakers",
      "Monitor of Other",
  };
  // The same devices, plugged in in two orders: the headsets swap indices.
  for (const bool swapped : {false, true}) {
    SCOPED_TRACE(swapped);
    const auto arranged = arrange_sources(
        {source(9, "other.monitor", "Monitor of Other", "other"),
         source(swapped ? 2 : 3, "usb_a", "Headset"), source(swapped ? 3 : 2, "usb_b", "Headset"),
         source(5, "mic", "Mic"), source(4, "bare_source", ""),
         source(10, "speakers.monitor", "Monitor of Speakers", "speakers"),
         source(11, "cam_a", "Cam \xFF"), source(12, "cam_b", "Cam \xFE")},
        "mic", "speakers");
    auto names = listed(arranged);
    if (swapped) std::swap(names[2], names[3]);
    EXPECT_EQ(names, expected);
  }
  // A description that equals a twin's listed name: the twin keeps it.
  EXPECT_EQ(
      listed(arrange_sources({source(1, "usb_a", "Headset"), source(2, "usb_b", "Headset"),
                              source(3, "odd", "Headset (usb_a)")},
                             "", "")),
      (std::vector<std::string>{"Headset (usb_a)", "Headset (usb_b)", "Headset (usb_a) (odd)"}));
  // No default source, and a default sink without a monitor: nothing to follow.
  EXPECT_EQ(listed(arrange_sources({source(1, "mic", "Mic")}, "", "speakers")),
            std::vector<std::string>{"Mic"});
}

TEST(PulseSources, AFollowingStreamIsInPlaceOnlyWhereItBelongs) {
  const struct {
    Follow follow;
    const char* target;
    const char* current;
    bool in_place;
  } cases[] = {
      {Follow::DefaultSource, "mic", "mic", true},
      // The server moves an input's stream to the new default by itself.
      {Follow::DefaultSource, "mic", "headset", true},
      {Follow::DefaultMonitor, "speakers.monitor", "speakers.monitor", true},
      // Put on a microphone by the server, or not yet moved.
      {Follow::DefaultMonitor, "speakers.monitor", "mic", false},
      {Follow::DefaultMonitor, "speakers.monitor", nullptr, false},
      // No default device at all: nothing to follow.
      {Follow::DefaultSource, "", "mic", false},
      {Follow::DefaultMonitor, "", "speakers.monitor", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(follows_in_place(c.follow, c.target, c.current), c.in_place)
        << c.target << " / " << (c.current != nullptr ? c.current : "(none)");
  }
}

}  // namespace
}  // namespace kestravo::audio::pulse
