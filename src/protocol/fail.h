#pragma once

#include "protocol/records.h"

namespace kestravo::protocol {

// The one fatal exit path: an error record on standard error, then exit
// status 1. The record waits for room on standard error for a fifth of a
// second at most; the exit comes all the same. Main thread only.
[[noreturn]] void fail(protocol::ErrorRecord record);

}  // namespace kestravo::protocol
