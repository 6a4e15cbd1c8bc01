#include <gtest/gtest.h>

#include <cerrno>

#include "watcher/uPlatformText.h"

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

TEST(PlatformText, ErrorTextHasNoTrailingPeriodOrBlanks) {
  const std::string text = SystemErrorText(ENOENT);
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.back(), '.');
  EXPECT_NE(text.back(), ' ');
  EXPECT_NE(text.back(), '\n');
}
