#pragma once

#include <string>
#include <string_view>

namespace kestravo {

// The one fatal exit path: an error record on standard error, then exit
// status 1 at once. Main thread only.
[[noreturn]] void fail(std::string_view code, std::string message);

}  // namespace kestravo
