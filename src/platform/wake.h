// A wake-up for a thread that waits in the system's own wait for several
// things at once: set once, it stays set. On POSIX systems a descriptor that
// poll() sees readable; on Windows an event that WaitForMultipleObjects sees
// signalled.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

namespace kestravo::platform {

class WakeSignal {
 public:
  // A new signal, not set; the error says why none could be made, in words.
  static std::expected<std::unique_ptr<WakeSignal>, std::string> create();

  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  void set();

#if defined(_WIN32)
  // The event's HANDLE.
  void* event() const { return reinterpret_cast<void*>(native_); }
#else
  int fd() const { return static_cast<int>(native_); }
#endif

 private:
  explicit WakeSignal(std::intptr_t native) : native_(native) {}

  std::intptr_t native_;
};

}  // namespace kestravo::platform
