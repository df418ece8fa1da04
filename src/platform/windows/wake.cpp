#include "platform/wake.h"

#include <windows.h>

namespace kestravo::platform {

std::expected<std::unique_ptr<WakeSignal>, std::string> WakeSignal::create() {
  // Manual reset: once set, every wait sees it.
  const HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (handle == nullptr) return std::unexpected("Windows error " + std::to_string(GetLastError()));
  return std::unique_ptr<WakeSignal>(new WakeSignal(reinterpret_cast<std::intptr_t>(handle)));
}

WakeSignal::~WakeSignal() { CloseHandle(reinterpret_cast<HANDLE>(native_)); }

void WakeSignal::set() { SetEvent(reinterpret_cast<HANDLE>(native_)); }

}  // namespace kestravo::platform
