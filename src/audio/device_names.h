// Listed names that no two devices share, by the same rule on every host.
#pragma once

#include <string>
#include <vector>

namespace kestravo::audio {

// `names[i]` is what device i is called, `keys[i]` a name of it that no
// other device has (a sound server's source name, an endpoint id). A name
// several devices share gets " (key)" on each of them. That can make a name
// another device has on its own (a device called "Headset (usb_a)" beside
// twins called "Headset"), so it is done again, each time on those of the
// sharers that have the fewest such suffixes: the twin keeps
// "Headset (usb_a)", which its key always finds, and the other becomes
// "Headset (usb_a) (its key)". Keys are unique, so every round parts the
// devices it touches. Suffixes are added as UTF-8, ill-formed bytes of a key
// replaced by U+FFFD.
void part_shared_names(std::vector<std::string>& names, const std::vector<std::string>& keys);

}  // namespace kestravo::audio
