// Texts the tool writes word for word, expected by tests at several levels.
#pragma once

namespace kestravo::testing {

// The message of a lost device, whichever host lost it.
inline constexpr char kDeviceGone[] =
    "The requested device is no longer available. For example, it has been unplugged.";

}  // namespace kestravo::testing
