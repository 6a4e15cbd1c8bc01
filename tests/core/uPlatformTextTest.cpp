#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/uPlatformText.h"

TEST(PlatformText, RoundTripsAnyBytes) {
  const std::string names[] = {"plain.txt",
                               "Отчёт за май.docx",
                               "a#b c.txt",
                               "line\nbreak",
                               "\xff\xfe bad \x80",
                               "\xed\xa0\x80 encoded surrogate",
                               "emoji \xf0\x9f\x98\x80",
                               "overlong \xc0\xaf",
                               ""};
  for (const auto& name : names) {
    EXPECT_EQ(Utf16ToNarrow(NarrowToUtf16(name)), name) << name;
  }
}

TEST(PlatformText, ValidUtf8BecomesProperUtf16) {
  EXPECT_EQ(NarrowToUtf16("Яa"), u"Яa");
  EXPECT_EQ(NarrowToUtf16("\xf0\x9f\x98\x80"), u"\U0001F600");
  // An invalid byte travels as U+DC00 + byte.
  EXPECT_EQ(NarrowToUtf16("\xff"), std::u16string(1, char16_t{0xDCFF}));
  // A lone surrogate outside the escape range has no byte form.
  EXPECT_EQ(Utf16ToNarrow(std::u16string(1, char16_t{0xD801})), "?");
}

TEST(PlatformText, Utf8IsToldFromOtherBytes) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("plain Отчёт 日本 \xf0\x9f\x98\x80"));
  EXPECT_FALSE(IsValidUtf8("\xcf\xe0\xef\xea\xe0"));  // Windows-1251 text
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));          // an encoded surrogate
  EXPECT_FALSE(IsValidUtf8("overlong \xc0\xaf"));
  EXPECT_FALSE(IsValidUtf8("cut \xd0"));
  EXPECT_FALSE(IsValidUtf8("\xf4\x90\x80\x80"));  // past U+10FFFF
}

TEST(PlatformText, SystemTextLosesItsTrailingPeriodsBlanksAndLineBreaks) {
  const std::pair<std::string, std::string> rows[] = {
      {"The system cannot find the file specified.\r\n",
       "The system cannot find the file specified"},
      {"Access is denied. \r\n", "Access is denied"},
      {"Text ends here...", "Text ends here"},
      {"No such file or directory", "No such file or directory"},
      {"A. B. C", "A. B. C"},
      {" .\n", ""},
      {"", ""}};
  for (const auto& [raw, trimmed] : rows) EXPECT_EQ(TrimSystemText(raw), trimmed) << raw;
}

// The system's texts for common codes (errno values here, Windows error codes there; on Windows
// they end in ".\r\n") come without their ending.
TEST(PlatformText, ErrorTextHasNoTrailingPeriodOrBlanks) {
  for (int code = 1; code <= 34; ++code) {  // all defined on both systems
    const std::string text = SystemErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), '.') << code;
    EXPECT_NE(text.back(), ' ') << code;
    EXPECT_NE(text.back(), '\n') << code;
    EXPECT_NE(text.back(), '\r') << code;
  }
}
