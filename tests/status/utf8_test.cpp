#include "status/utf8.h"

#include <gtest/gtest.h>

namespace kestravo {
namespace {

TEST(Utf8Lossy, ReplacesMaximalIllFormedSubsequences) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", ""},
      {"plain ascii", "plain ascii"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA4", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA4"},
      {"\x80", r},
      {"a\xFFz", "a" + r + "z"},
      {"\xC0\xAF", r + r},                  // overlong lead bytes never start a sequence
      {"\xE0\x80\x80", r + r + r},          // overlong three-byte form
      {"\xED\xA0\x80", r + r + r},          // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xE2\x82", r},                      // truncated at the end: one replacement
      {"\xE2\x82z", r + "z"},
      {"\xF0\x9F\x8E", r},
      {"\xF0\x9F\x8E\xC3\xA9", r + "\xC3\xA9"},
      {"\xC3", r},
      {std::string("\0x", 2), std::string("\0x", 2)},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace kestravo
