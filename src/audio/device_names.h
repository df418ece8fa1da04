// How the devices a sound server or an audio service offers are named and
// ordered, and the other names each answers to: one rule for every host, so
// that a name a user stored finds the same device whatever system it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestravo::audio {

// What a device that stands for "whatever the desktop uses now" follows.
enum class Follow : std::uint8_t {
  None,           // a device of its own
  DefaultInput,   // the default input
  DefaultOutput,  // what the default output plays
};

// The following devices' keys (PulseAudio's names for the defaults, which
// pactl and parec accept too) and listed names.
inline constexpr std::string_view kDefaultInputKey = "@DEFAULT_SOURCE@";
inline constexpr std::string_view kDefaultOutputKey = "@DEFAULT_MONITOR@";
inline constexpr std::string_view kDefaultInputName = "Default Input";
inline constexpr std::string_view kDefaultOutputName = "Monitor of Default Output";

// Where a device stands in the listing: inputs, then what outputs play, then
// what single applications play.
enum class Group : std::uint8_t { Input, Output, Application };

// A device as the naming rules see it.
struct Offered {
  // A name of it no other device has, stable across restarts (a source's
  // name, an endpoint id).
  std::string key;
  // What it is called before twins are told apart; none where the system
  // could not say (such a device gets no listed name).
  std::optional<std::string> plain;
  Group group = Group::Input;
  Follow follow = Follow::None;
  bool is_default = false;  // the default device of its group
};

// One device of the listing: its place among those offered, and its name.
struct Listed {
  std::size_t offered = 0;
  std::string name;
};

// The devices in listing order, each with its listed name: per group, the
// following device, the default device, then the others in the order
// offered. A plain name several devices share becomes "plain (key)" on each
// of them, so that the names neither collide nor depend on which device was
// plugged in first (see part_shared_names). Names are compared as listed,
// with bytes that are not UTF-8 replaced by U+FFFD.
std::vector<Listed> list_offered(std::span<const Offered> offered);

// The other names a device answers to when none is listed under the name
// asked for, so that a name stored from any listing keeps working: its key,
// its plain name (the first of twins in listing order), and "plain (key)",
// which the listing shows whenever a twin is present; "default" (what ALSA
// calls its default device) for the default input's follower.
std::vector<std::string> other_names(const Offered& device);

// The application a playing stream belongs to: its application.name, else
// its application.process.binary, else the stream's own name.
std::string_view application_of(std::string_view name, std::string_view binary,
                                std::string_view stream);

// What one application's sound is listed as: "{application} (application)".
std::string application_device_name(std::string_view application);

// `names[i]` is what device i is called, `keys[i]` a name of it that no
// other device has. A name several devices share gets " (key)" on each of
// them. That can make a name another device has on its own (a device called
// "Headset (usb_a)" beside twins called "Headset"), so it is done again,
// each time on those of the sharers that have the fewest such suffixes: the
// twin keeps "Headset (usb_a)", which its key always finds, and the other
// becomes "Headset (usb_a) (its key)". Keys are unique, so every round parts
// the devices it touches. Suffixes are added as UTF-8, ill-formed bytes of a
// key replaced by U+FFFD.
void part_shared_names(std::vector<std::string>& names, const std::vector<std::string>& keys);

}  // namespace kestravo::audio
