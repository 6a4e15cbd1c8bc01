#include <langinfo.h>
#include <locale.h>

#include "base/uTimeText.h"

TTimeFormat TimeFormatFromLocale() {
  locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  TTimeFormat f = TimeFormatFromPattern(nl_langinfo_l(T_FMT, loc), nl_langinfo_l(T_FMT_AMPM, loc),
                                        nl_langinfo_l(AM_STR, loc), nl_langinfo_l(PM_STR, loc));
  freelocale(loc);
  return f;
}

std::tm LocalNow() {
  std::tm now{};
  const std::time_t t = std::time(nullptr);
  localtime_r(&t, &now);
  return now;
}
