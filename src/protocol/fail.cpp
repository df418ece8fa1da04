#include "protocol/fail.h"

#include <chrono>

#include "platform/output.h"
#include "platform/process.h"
#include "protocol/send.h"

namespace kestravo::protocol {

namespace {

// How long the record may wait for room on a standard error that nobody
// drains before the process exits without it: a stalled log collector must
// not keep the parent from seeing exit status 1. While there is room, the
// record waits for this process's own writer, which a loaded machine may
// run late, up to the second bound.
constexpr auto kFatalRecordWait = std::chrono::milliseconds(200);
constexpr auto kFatalRecordMostWait = std::chrono::milliseconds(2000);

}  // namespace

void fail(protocol::ErrorRecord record) {
  protocol::queue_on_standard_error(std::move(record));
  platform::standard_error().drain_unless_stalled(kFatalRecordWait, kFatalRecordMostWait);
  // exit_now, not exit: a host thread may still be calling back, and static
  // destruction must not run under it. Nothing is buffered in user space.
  platform::exit_now(1);
}

}  // namespace kestravo::protocol
