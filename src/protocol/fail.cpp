#include "protocol/fail.h"

#include <chrono>

#include "platform/output.h"
#include "platform/process.h"
#include "protocol/send.h"

namespace kestravo {

namespace {

// How long the record may wait for room on a standard error that nobody
// drains before the process exits without it: a stalled log collector must
// not keep the parent from seeing exit status 1.
constexpr auto kFatalRecordWait = std::chrono::milliseconds(200);

}  // namespace

void fail(status::ErrorRecord record) {
  status::queue_on_standard_error(std::move(record));
  standard_error().drain(std::chrono::steady_clock::now() + kFatalRecordWait);
  // exit_now, not exit: a host thread may still be calling back, and static
  // destruction must not run under it. Nothing is buffered in user space.
  platform::exit_now(1);
}

}  // namespace kestravo
