#include "text/utf16.h"

#include <cstdint>

namespace kestravo::text {

namespace {

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool is_high(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::string utf8_from_utf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (is_high(unit) && i + 1 < units.size() && is_low(units[i + 1])) {
      const std::uint32_t high = std::uint32_t{unit} - 0xD800U;
      const std::uint32_t low = std::uint32_t{units[i + 1]} - 0xDC00U;
      append_utf8(out, 0x10000U + (high << 10U) + low);
      ++i;
    } else if (is_high(unit) || is_low(unit)) {
      append_utf8(out, 0xFFFD);
    } else {
      append_utf8(out, unit);
    }
  }
  return out;
}

}  // namespace kestravo::text
