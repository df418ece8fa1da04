#include "text/utf8.h"

namespace kestravo {

std::string utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  while (i < n) {
    const unsigned char lead = at(i);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
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
      out += kReplacement;  // a byte that never starts a sequence
      ++i;
      continue;
    }
    // Consume the longest valid prefix; a maximal ill-formed subsequence
    // becomes one replacement character, and the byte that broke it starts
    // over.
    std::size_t k = 1;
    for (; k < length && i + k < n; ++k) {
      const unsigned char c = at(i + k);
      const unsigned char lo = k == 1 ? low : 0x80;
      const unsigned char hi = k == 1 ? high : 0xBF;
      if (c < lo || c > hi) break;
    }
    if (k == length) {
      out.append(bytes.substr(i, length));
    } else {
      out += kReplacement;
    }
    i += k;
  }
  return out;
}

}  // namespace kestravo
