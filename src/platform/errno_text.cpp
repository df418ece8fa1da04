#include "platform/errno_text.h"

#include <array>
#include <cstring>

namespace kestravo::platform {

namespace {

// strerror_r comes in two kinds: XSI returns a status and fills the buffer,
// GNU returns the text, which may or may not be in the buffer.
[[maybe_unused]] std::string strerror_r_text(int status, const char* buffer) {
  return status == 0 ? std::string(buffer) : std::string();
}
[[maybe_unused]] std::string strerror_r_text(const char* text, const char*) {
  return text == nullptr ? std::string() : std::string(text);
}

}  // namespace

std::string errno_text(int error) {
  std::array<char, 256> buffer{};
#ifdef _WIN32
  std::string text = strerror_s(buffer.data(), buffer.size(), error) == 0 ? buffer.data() : "";
#else
  std::string text =
      strerror_r_text(::strerror_r(error, buffer.data(), buffer.size()), buffer.data());
#endif
  if (text.empty()) text = "error " + std::to_string(error);
  return text;
}

}  // namespace kestravo::platform
