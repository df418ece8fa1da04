// Text the system hands over as UTF-16 (Windows: the command line, device
// names).
#pragma once

#include <string>
#include <string_view>

namespace kestravo::text {

// UTF-8 of UTF-16 code units; a surrogate without its partner becomes U+FFFD,
// as bytes that are not UTF-8 do in utf8_lossy. Stops at nothing: a NUL unit
// is copied like any other.
std::string utf8_from_utf16(std::u16string_view units);

}  // namespace kestravo::text
