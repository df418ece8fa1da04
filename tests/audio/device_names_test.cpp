// The naming rules every host lists server devices by, from plain values.
#include "audio/device_names.h"

#include <gtest/gtest.h>

namespace kestravo::audio {
namespace {

Offered input(std::string key, std::optional<std::string> plain, bool is_default = false) {
  return {.key = std::move(key),
          .plain = std::move(plain),
          .group = Group::Input,
          .follow = Follow::None,
          .is_default = is_default};
}

Offered output(std::string key, std::string plain, bool is_default = false) {
  auto d = input(std::move(key), std::move(plain), is_default);
  d.group = Group::Output;
  return d;
}

Offered following(Follow follow) {
  const bool in = follow == Follow::DefaultInput;
  return {.key = std::string(in ? kDefaultInputKey : kDefaultOutputKey),
          .plain = std::string(in ? kDefaultInputName : kDefaultOutputName),
          .group = in ? Group::Input : Group::Output,
          .follow = follow,
          .is_default = false};
}

std::vector<std::string> names(const std::vector<Offered>& offered) {
  std::vector<std::string> out;
  for (const auto& l : list_offered(offered)) out.push_back(l.name);
  return out;
}

TEST(DeviceNames, OrderAndNamesDependOnlyOnTheDevices) {
  const struct {
    const char* what;
    std::vector<Offered> offered;
    std::vector<std::string> listed;
  } cases[] = {
      {"groups, then follower, default and the rest in the order offered",
       {output("o", "Other"), input("m", "Mic"), output("s", "Speakers", true),
        Offered{.key = "app", .plain = "Meeting (application)", .group = Group::Application},
        input("h", "Headset", true), following(Follow::DefaultOutput),
        following(Follow::DefaultInput)},
       {"Default Input", "Headset", "Mic", "Monitor of Default Output", "Speakers", "Other",
        "Meeting (application)"}},
      // Twins differing only in bytes that are not UTF-8 are listed alike.
      {"twins, whatever order they were plugged in",
       {input("usb_b", "Headset"), input("usb_a", "Headset"), input("cam_a", "Cam \xFF"),
        input("cam_b", "Cam \xFE")},
       {"Headset (usb_b)", "Headset (usb_a)", "Cam \xEF\xBF\xBD (cam_a)",
        "Cam \xEF\xBF\xBD (cam_b)"}},
      {"a name equal to a twin's listed name: the twin keeps it",
       {input("usb_a", "Headset"), input("usb_b", "Headset"), input("odd", "Headset (usb_a)")},
       {"Headset (usb_a)", "Headset (usb_b)", "Headset (usb_a) (odd)"}},
      {"a device the system could not name keeps its place, unnamed",
       {input("x", std::nullopt), input("y", "Mic")},
       {"", "Mic"}},
  };
  for (const auto& c : cases) EXPECT_EQ(names(c.offered), c.listed) << c.what;
}

TEST(DeviceNames, StoredNamesKeepFindingTheirDevice) {
  EXPECT_EQ(other_names(input("usb_a", "Headset")),
            (std::vector<std::string>{"usb_a", "Headset", "Headset (usb_a)"}));
  EXPECT_EQ(other_names(input("bare", "bare")), std::vector<std::string>{"bare"});
  EXPECT_EQ(other_names(following(Follow::DefaultInput)),
            (std::vector<std::string>{"@DEFAULT_SOURCE@", "Default Input",
                                      "Default Input (@DEFAULT_SOURCE@)", "default"}));
}

}  // namespace
}  // namespace kestravo::audio
