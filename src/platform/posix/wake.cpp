#include "platform/wake.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/errno_text.h"

namespace kestravo::platform {

std::expected<std::unique_ptr<WakeSignal>, std::string> WakeSignal::create() {
  const int descriptor = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (descriptor < 0) return std::unexpected(errno_text(errno));
  return std::unique_ptr<WakeSignal>(new WakeSignal(descriptor));
}

WakeSignal::~WakeSignal() { ::close(static_cast<int>(native_)); }

void WakeSignal::set() {
  const std::uint64_t one = 1;
  if (::write(static_cast<int>(native_), &one, sizeof one) < 0) {
    // Only a counter at its maximum refuses, and that one is readable.
  }
}

}  // namespace kestravo::platform
