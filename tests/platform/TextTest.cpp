// UTF-8 <-> UTF-16 conversion with Win32's counting rules.
#include "platform/Win32.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::u16string ToWide(const std::string& s, UINT codePage = CP_UTF8, DWORD flags = 0) {
  int n = MultiByteToWideChar(codePage, flags, s.data(), int(s.size()), nullptr, 0);
  std::u16string out(size_t(n), u'\0');
  if (n > 0) {
    EXPECT_EQ(MultiByteToWideChar(codePage, flags, s.data(), int(s.size()), out.data(), n), n);
  }
  return out;
}

std::string ToNarrow(const std::u16string& s, UINT codePage = CP_UTF8) {
  int n = WideCharToMultiByte(codePage, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  if (n > 0) {
    EXPECT_EQ(
        WideCharToMultiByte(codePage, 0, s.data(), int(s.size()), out.data(), n, nullptr, nullptr),
        n);
  }
  return out;
}

TEST(TextConversion, RoundTripsUtf8AndUtf16IncludingSurrogatePairs) {
  const std::string utf8 = "A\xC3\xA9\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80"; // A é Ж € 😀
  const std::u16string utf16 = u"A\u00E9\u0416\u20AC\U0001F600";
  EXPECT_EQ(ToWide(utf8), utf16);
  EXPECT_EQ(ToNarrow(utf16), utf8);
  EXPECT_EQ(ToWide(utf8).size(), 6u); // the emoji is a surrogate pair
  // The ANSI code page is UTF-8 here.
  EXPECT_EQ(ToWide(utf8, CP_ACP), utf16);
  EXPECT_EQ(ToNarrow(utf16, CP_ACP), utf8);
}

TEST(TextConversion, MinusOneLengthCountsTheTerminatingNul) {
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
  WCHAR wide[4] = {1, 1, 1, 1};
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wide, 4), 4);
  EXPECT_EQ(wide[3], u'\0');
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00E9", -1, nullptr, 0, nullptr, nullptr), 3);
  char narrow[3] = {1, 1, 1};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u00E9", -1, narrow, 3, nullptr, nullptr), 3);
  EXPECT_EQ(narrow[2], '\0');
}

TEST(TextConversion, TooSmallABufferFailsWithInsufficientBuffer) {
  WCHAR wide[2];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  char narrow[2];
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"\u20AC", 1, narrow, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
}

TEST(TextConversion, ReplacesInvalidInput) {
  // A stray continuation byte, a truncated sequence, an overlong form and an encoded surrogate.
  EXPECT_EQ(ToWide("a\x80z"), u"a\uFFFDz");
  EXPECT_EQ(ToWide("a\xE2\x82z"), u"a\uFFFDz");
  EXPECT_EQ(ToWide("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(ToWide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(ToWide("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
  // An unpaired surrogate becomes U+FFFD in UTF-8.
  const char16_t lone[] = {u'x', 0xD800, u'y', 0};
  EXPECT_EQ(ToNarrow(lone), "x\xEF\xBF\xBDy");
  // With the error flag the conversion fails instead.
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\x80", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
  SetLastError(0);
  EXPECT_EQ(
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(TextConversion, AnsiCodePageUsesTheDefaultCharacterForUnpairedSurrogates) {
  const char16_t lone[] = {u'x', 0xDC00, 0};
  char out[8] = {};
  BOOL usedDefault = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone, -1, out, sizeof out, nullptr, &usedDefault), 3);
  EXPECT_STREQ(out, "x?");
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"ok", -1, out, sizeof out, nullptr, &usedDefault), 3);
  EXPECT_FALSE(usedDefault);
}

TEST(TextConversion, RejectsBadArguments) {
  WCHAR wide[4];
  char narrow[4];
  BOOL used;
  auto error = [](int result) {
    EXPECT_EQ(result, 0);
    return GetLastError();
  };
  const DWORD badParameter = ERROR_INVALID_PARAMETER, badFlags = ERROR_INVALID_FLAGS;
  EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 4)), badParameter);
  EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, 0, nullptr, 1, wide, 4)), badParameter);
  EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4)), badParameter);
  EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, 0, "a", -2, wide, 4)), badParameter);
  EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, 0, "a", 1, wide, -1)), badParameter);
  EXPECT_EQ(error(MultiByteToWideChar(1252, 0, "a", 1, wide, 4)), badParameter);
  EXPECT_EQ(error(MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 4)), badFlags);
  EXPECT_EQ(error(WideCharToMultiByte(CP_UTF8, 0, u"a", 0, narrow, 4, nullptr, nullptr)),
            badParameter);
  EXPECT_EQ(error(WideCharToMultiByte(CP_UTF8, 0, nullptr, 1, narrow, 4, nullptr, nullptr)),
            badParameter);
  // UTF-8 represents everything: a default character makes no sense there.
  EXPECT_EQ(error(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, "?", nullptr)), badParameter);
  EXPECT_EQ(error(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 4, nullptr, &used)),
            badParameter);
  EXPECT_EQ(error(WideCharToMultiByte(CP_UTF8, 0x200, u"a", 1, narrow, 4, nullptr, nullptr)),
            badFlags);
}

} // namespace
