#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestravo::text {

// The first character of a non-empty byte string. A well-formed character
// spans `length` bytes. Otherwise `length` covers the maximal ill-formed
// subsequence at the start (at least one byte): the bytes a decoder
// replaces with one U+FFFD before it starts over.
struct Utf8Char {
  std::size_t length = 0;
  bool well_formed = false;
};
Utf8Char utf8_first_char(std::string_view bytes);

// Decodes bytes from outside the program (arguments, device and channel
// names) as UTF-8, replacing each maximal ill-formed subsequence with
// U+FFFD as the WHATWG decoder does. Valid input comes back unchanged.
std::string utf8_lossy(std::string_view bytes);

}  // namespace kestravo::text
