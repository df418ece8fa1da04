#include "text/utf8.h"

#include <gtest/gtest.h>

#include "audio/channel_positions.h"
#include "text/utf16.h"

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
  for (const auto& c : cases) EXPECT_EQ(text::utf8_lossy(c.in), c.out) << c.in;
}

// Windows hands names and the command line over as UTF-16; a surrogate
// without its partner is replaced as an ill-formed UTF-8 sequence is.
TEST(Utf8FromUtf16, ReplacesLoneSurrogates) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    std::u16string in;
    std::string out;
  };
  const Case cases[] = {
      {u"", ""},
      {u"Desk Mic", "Desk Mic"},
      {u"S\u00fcd \u2603 \U0001F3A4",
       "S\xC3\xBC"
       "d \xE2\x98\x83 \xF0\x9F\x8E\xA4"},
      {std::u16string{u'a', char16_t{0xD83C}}, "a" + r},            // high at the end
      {std::u16string{char16_t{0xDFA4}, u'a'}, r + "a"},            // low alone
      {std::u16string{char16_t{0xD83C}, char16_t{0xD83C}}, r + r},  // two highs
      {std::u16string{char16_t{0xDBFF}, char16_t{0xDFFF}}, "\xF4\x8F\xBF\xBF"},
      {std::u16string(u"\0x", 2), std::string("\0x", 2)},
  };
  for (const auto& c : cases) EXPECT_EQ(text::utf8_from_utf16(c.in), c.out) << c.out;
}

// Windows' speaker bits read as the same position names as on Linux, in the
// order of the channels.
TEST(ChannelPositions, WindowsSpeakerMasks) {
  const auto names = [](std::uint32_t mask) {
    std::vector<std::string_view> out;
    for (const auto p : audio::channel_positions_from_windows_mask(mask)) {
      out.push_back(audio::channel_position_name(p));
    }
    return out;
  };
  using Names = std::vector<std::string_view>;
  EXPECT_EQ(names(0x3), (Names{"Front Left", "Front Right"}));
  EXPECT_EQ(names(0x4), (Names{"Front Center"}));
  EXPECT_EQ(names(0x3F),
            (Names{"Front Left", "Front Right", "Front Center", "LFE", "Rear Left", "Rear Right"}));
  EXPECT_EQ(names(0x60F),
            (Names{"Front Left", "Front Right", "Front Center", "LFE", "Side Left", "Side Right"}));
  EXPECT_EQ(names(0x3F900),
            (Names{"Rear Center", "Top Center", "Top Front Left", "Top Front Center",
                   "Top Front Right", "Top Rear Left", "Top Rear Center", "Top Rear Right"}));
  EXPECT_EQ(names(0x80000000), Names{});  // SPEAKER_ALL and reserved bits name no channel
}

}  // namespace
}  // namespace kestravo
