#include "text/utf8.h"

namespace kestravo::text {

Utf8Char utf8_first_char(std::string_view bytes) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return {1, true};
  // Length of the sequence and the allowed range of its second byte
  // (which excludes overlongs, surrogates and values above U+10FFFF).
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};  // a byte that never starts a sequence
  }
  // The longest valid prefix; the byte that broke it starts over.
  std::size_t k = 1;
  for (; k < length && k < bytes.size(); ++k) {
    const unsigned char c = at(k);
    const unsigned char lo = k == 1 ? low : 0x80;
    const unsigned char hi = k == 1 ? high : 0xBF;
    if (c < lo || c > hi) break;
  }
  return {k, k == length};
}

std::string utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Char c = utf8_first_char(bytes);
    if (c.well_formed) {
      out.append(bytes.substr(0, c.length));
    } else {
      out += kReplacement;
    }
    bytes.remove_prefix(c.length);
  }
  return out;
}

}  // namespace kestravo::text
