#include "main/fail.h"

#include <unistd.h>

#include "status/status.h"

namespace kestravo {

void fail(std::string_view code, std::string message) {
  status::emit_status(status::ErrorRecord{code, std::move(message)});
  // _exit, not exit: a host thread may still be calling back, and static
  // destruction must not run under it. Nothing is buffered in user space.
  ::_exit(1);
}

}  // namespace kestravo
