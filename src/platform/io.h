// The retry loops over a descriptor, one per purpose, each going through the
// system-call table (platform/system_calls.h). These are the only places
// that retry after EINTR and EAGAIN.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "platform/process.h"

namespace kestravo::platform {

// Writes all of `bytes` to `fd`, waiting in the write as long as the stream
// takes: short writes continue where they stopped and EINTR is retried; any
// other error, or a write that takes nothing, gives up and returns false.
// The bytes a failed write did not deliver are dropped, never written again.
bool write_all(int fd, std::string_view bytes);

// The longest one wait for a full stream lasts before write_without_blocking
// asks whether to stop: a parent that never reads costs ten wake-ups a
// second.
inline constexpr std::chrono::milliseconds kFullWait{100};

// Writes all of `bytes` through `writer` (whose writes never block): each
// time the stream is full (EAGAIN) it asks `stop`, then waits up to
// kFullWait for room. EINTR is retried. False when the reader has gone (any
// other error, or a write that takes nothing) or `stop` said so.
bool write_without_blocking(const StreamWriter& writer, std::string_view bytes,
                            const std::function<bool()>& stop);

// Between two reads of a descriptor that the system cannot wait on.
inline constexpr std::chrono::milliseconds kReadRetry{50};
// The longest one wait for input lasts. End of file wakes it at once, so
// this only bounds how often an idle reader wakes up.
inline constexpr std::chrono::milliseconds kInputWait{1000};

// Reads and discards `fd` (non-blocking) in 64-byte reads until end of file
// or an error other than EINTR and EAGAIN; whenever nothing is waiting,
// waits up to kInputWait for input. A signal interrupting the read does not
// end it.
void read_until_end(int fd);

}  // namespace kestravo::platform
