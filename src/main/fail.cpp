#include "main/fail.h"

#include "platform/process.h"
#include "status/status.h"

namespace kestravo {

void fail(std::string_view code, std::string message) {
  status::emit_status(status::ErrorRecord{code, std::move(message)});
  // exit_now, not exit: a host thread may still be calling back, and static
  // destruction must not run under it. Nothing is buffered in user space.
  platform::exit_now(1);
}

}  // namespace kestravo
