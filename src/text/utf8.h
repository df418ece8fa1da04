#pragma once

#include <string>
#include <string_view>

namespace kestravo {

// Decodes bytes from outside the program (arguments, device and channel
// names) as UTF-8, replacing each maximal ill-formed subsequence with
// U+FFFD as the WHATWG decoder does. Valid input comes back unchanged.
std::string utf8_lossy(std::string_view bytes);

}  // namespace kestravo
