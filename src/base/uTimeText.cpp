#include "base/uTimeText.h"

#include <mutex>
#include <optional>

namespace {

std::mutex gMutex;
std::optional<TTimeFormat> gFormat;
std::function<std::tm()> gClock;

std::string TwoDigits(int v) {
  std::string s(2, '0');
  s[0] = static_cast<char>('0' + (v / 10) % 10);
  s[1] = static_cast<char>('0' + v % 10);
  return s;
}

// Replaces the composite conversions by what they stand for.
std::string Expand(std::string_view pattern, std::string_view ampmPattern) {
  std::string out;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      const char c = pattern[i + 1];
      if (c == 'T') {
        out += "%H:%M:%S";
        ++i;
        continue;
      }
      if (c == 'R') {
        out += "%H:%M";
        ++i;
        continue;
      }
      if (c == 'r') {
        out += ampmPattern.empty() ? std::string("%I:%M:%S %p") : Expand(ampmPattern, {});
        ++i;
        continue;
      }
    }
    out += pattern[i];
  }
  return out;
}

}  // namespace

TTimeFormat TimeFormatFromPattern(std::string_view pattern, std::string_view ampmPattern,
                                  std::string am, std::string pm) {
  TTimeFormat f;
  const std::string p = Expand(pattern, ampmPattern);
  size_t hourPos = std::string::npos, designatorPos = std::string::npos;
  for (size_t i = 0; i + 1 < p.size(); ++i) {
    if (p[i] != '%') continue;
    size_t j = i + 1;
    char flag = 0;
    if (p[j] == '-' || p[j] == '_' || p[j] == '0') flag = p[j++];
    if (j >= p.size()) break;
    const char c = p[j];
    if (c == 'H' || c == 'I' || c == 'k' || c == 'l') {
      if (hourPos == std::string::npos) {
        hourPos = i;
        f.TwelveHour = (c == 'I' || c == 'l');
        f.LeadingZeroHours = (c == 'H' || c == 'I') ? flag != '-' && flag != '_' : flag == '0';
        // The separator is the literal text up to the next conversion.
        size_t k = j + 1;
        std::string sep;
        while (k < p.size() && p[k] != '%') sep += p[k++];
        if (!sep.empty()) f.Separator = sep;
      }
    } else if (c == 'p' || c == 'P') {
      if (designatorPos == std::string::npos) designatorPos = i;
    }
    i = j;
  }
  if (f.TwelveHour) {
    f.DesignatorFirst = designatorPos != std::string::npos && hourPos != std::string::npos &&
                        designatorPos < hourPos;
    if (!am.empty()) f.Am = std::move(am);
    if (!pm.empty()) f.Pm = std::move(pm);
  }
  return f;
}

void SetLongTimeFormat(const TTimeFormat& format) {
  std::lock_guard lock(gMutex);
  gFormat = format;
}

TTimeFormat LongTimeFormat() {
  std::lock_guard lock(gMutex);
  if (!gFormat) gFormat = TimeFormatFromLocale();
  return *gFormat;
}

std::string FormatTime(const std::tm& time, const TTimeFormat& format) {
  int hour = time.tm_hour;
  if (format.TwelveHour) {
    hour %= 12;
    if (hour == 0) hour = 12;
  }
  std::string text = format.LeadingZeroHours ? TwoDigits(hour) : std::to_string(hour);
  text += format.Separator + TwoDigits(time.tm_min) + format.Separator + TwoDigits(time.tm_sec);
  if (format.TwelveHour) {
    const std::string& designator = time.tm_hour < 12 ? format.Am : format.Pm;
    text = format.DesignatorFirst ? designator + " " + text : text + " " + designator;
  }
  return text;
}

std::string TimeText() {
  std::tm now{};
  TTimeFormat format;
  {
    std::lock_guard lock(gMutex);
    if (!gFormat) gFormat = TimeFormatFromLocale();
    format = *gFormat;
    if (gClock) now = gClock();
  }
  if (now.tm_mday == 0) now = LocalNow();  // the real clock
  return FormatTime(now, format);
}

void SetClockForTesting(std::function<std::tm()> clock) {
  std::lock_guard lock(gMutex);
  gClock = std::move(clock);
}
