// The program's long time format and the time text of log lines.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

struct TTimeFormat {
  bool LeadingZeroHours = true;  // "09:05:07" rather than "9:05:07"
  bool TwelveHour = false;       // hours on the 12-hour clock with a designator
  bool DesignatorFirst = false;  // "PM 9:05:07" rather than "9:05:07 PM"
  std::string Separator = ":";
  std::string Am = "AM";
  std::string Pm = "PM";
};

// The format a locale's time pattern (strftime style, as LC_TIME gives it) asks for.
TTimeFormat TimeFormatFromPattern(std::string_view pattern, std::string_view ampmPattern,
                                  std::string am, std::string pm);
// The format of the user's locale (LC_TIME from the environment).
TTimeFormat TimeFormatFromLocale();

// The current local time (platform layer).
std::tm LocalNow();

// The program's format, fixed once at start (it reads the locale on first use otherwise).
void SetLongTimeFormat(const TTimeFormat& format);
TTimeFormat LongTimeFormat();

std::string FormatTime(const std::tm& time, const TTimeFormat& format);

// The current local time in the program's format.
std::string TimeText();

// Replaces the clock (tests); an empty function restores the real one.
void SetClockForTesting(std::function<std::tm()> clock);
