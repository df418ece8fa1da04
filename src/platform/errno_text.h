// The system's text for an errno value, for backend-specific error texts.
#pragma once

#include <string>

namespace kestravo::platform {

// Like strerror, but safe on any thread: hosts call it from their capture
// and notification threads, where strerror may share one buffer.
std::string errno_text(int error);

}  // namespace kestravo::platform
