#include <gtest/gtest.h>

#include "platform/Text.h"

namespace {

TEST(TextTest, RoundTripsEveryPlane) {
  struct Case {
    std::wstring wide;
    std::string utf8;
  };
  const Case cases[] = {
      {L"", ""},
      {L"COM3", "COM3"},
      {L"caf\u00E9", "caf\xC3\xA9"},
      {L"\u20AC 5", "\xE2\x82\xAC 5"},
      {L"\U0001F600!", "\xF0\x9F\x98\x80!"},  // a surrogate pair where wide text is UTF-16
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sys::ToUtf8(c.wide), c.utf8);
    EXPECT_EQ(sys::FromUtf8(c.utf8), c.wide);
  }
}

TEST(TextTest, InvalidBytesBecomeReplacementCharacters) {
  struct Case {
    std::string utf8;
    std::wstring wide;
  };
  const Case cases[] = {
      {"a\xC3", L"a\uFFFD"},                       // truncated at the end
      {"\xC0\xAF", L"\uFFFD\uFFFD"},                // overlong '/'
      {"\xED\xA0\x80x", L"\uFFFD\uFFFD\uFFFDx"},    // an encoded surrogate
      {"\xFF\xFE", L"\uFFFD\uFFFD"},
      {"\xE2\x82z", L"\uFFFD\uFFFDz"},              // a sequence cut short by ASCII
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(sys::FromUtf8(c.utf8), c.wide) << c.utf8;
}

}  // namespace
