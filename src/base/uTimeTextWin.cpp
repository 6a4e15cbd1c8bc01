#include <windows.h>

#include "base/uPlatformTextWin.h"
#include "base/uTimeText.h"

namespace {
std::string LocaleText(LCTYPE type) {
  wchar_t buf[80] = {};
  GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buf, sizeof buf / sizeof buf[0]);
  return NarrowText(buf);
}
}  // namespace

TTimeFormat TimeFormatFromLocale() {
  // The long time format is built from the hour-format, leading-zero and separator settings.
  TTimeFormat f;
  f.TwelveHour = LocaleText(LOCALE_ITIME) == "0";
  f.LeadingZeroHours = LocaleText(LOCALE_ITLZERO) == "1";
  f.DesignatorFirst = LocaleText(LOCALE_ITIMEMARKPOSN) == "1";
  f.Separator = LocaleText(LOCALE_STIME);
  f.Am = LocaleText(LOCALE_S1159);
  f.Pm = LocaleText(LOCALE_S2359);
  return f;
}

std::tm LocalNow() {
  std::tm now{};
  const std::time_t t = std::time(nullptr);
  localtime_s(&now, &t);
  return now;
}
