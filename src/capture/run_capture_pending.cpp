// Stand-in until capture lands; delete this file when run_capture exists.
#include "capture/capture.h"
#include "main/fail.h"
#include "status/status.h"

namespace kestravo::capture {

void run_capture(audio::Host&, const CaptureRequest&) {
  fail(status::code::driver_not_found, "this build cannot capture yet: it has no audio host");
}

}  // namespace kestravo::capture
