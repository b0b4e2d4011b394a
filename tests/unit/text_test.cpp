#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "state/text.h"

namespace {

std::vector<WCHAR> units(std::u16string text) {
  std::vector<WCHAR> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

TEST(ToWide, ConvertsAndTerminatesOnce) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string expected;
  };
  const Case cases[] = {
      {"empty", "", u""},
      {"ascii", "Orbel", u"Orbel"},
      // 20 bytes of UTF-8, 19 characters: 19 units and the terminating 0.
      {"norwegian", "Start ved p\xC3\xA5logging", u"Start ved p\u00E5logging"},
      {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
      {"above U+FFFF becomes a pair", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
      {"stray continuation", "a\x80" "b", u"a\uFFFD" "b"},
      {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"truncated at the end", "ok\xE2\x82", u"ok\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(orbel::to_wide(c.utf8), units(c.expected)) << c.name;
}

TEST(ToUtf8, PairsJoinAndLoneSurrogatesBecomeReplacement) {
  const std::u16string text = u"C:\\\u00E6\xD83D\xDE00|\xD800|\xDC00";
  EXPECT_EQ(orbel::to_utf8(reinterpret_cast<const WCHAR*>(text.data()), text.size()),
            "C:\\\xC3\xA6\xF0\x9F\x98\x80|\xEF\xBF\xBD|\xEF\xBF\xBD");
}

}  // namespace
