// Fuzz target: the log-line builders and reading a name back. Any bytes give a time format, an
// action and a relative name; the name must come back exactly from its change line, and the start
// and stop lines must give no name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/uTimeText.h"
#include "watcher/uMonThread2.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Takes a piece of the input up to the next NUL (or its end).
std::string_view Next(std::string_view& input) {
  const size_t end = input.find('\0');
  const std::string_view piece = input.substr(0, end);
  input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.empty()) return 0;
  const uint8_t flags = static_cast<uint8_t>(input[0]);
  input.remove_prefix(1);

  // A locale's time format, taken from the input: its parts may hold any bytes but "#", which
  // the reading back rule excludes from the time text.
  TTimeFormat format;
  format.LeadingZeroHours = flags & 1;
  format.TwelveHour = flags & 2;
  format.DesignatorFirst = flags & 4;
  format.Separator = std::string(Next(input));
  format.Am = std::string(Next(input));
  format.Pm = std::string(Next(input));
  const uint32_t action = flags >> 3;
  const std::string name(input);
  const bool hashInTime = (format.Separator + format.Am + format.Pm).find('#') != std::string::npos;
  SetLongTimeFormat(format);
  std::tm time{};
  time.tm_hour = flags % 24;
  time.tm_min = flags % 60;
  SetClockForTesting([time] { return time; });

  const std::string operation = MakeOperationText(action);
  const std::string line = ChangeLogLine(operation, name);
  Check(line.size() == operation.size() + 2 + name.size());
  Check(line.compare(0, operation.size(), operation) == 0);
  Check(line.find(ActionLabel(action)) != std::string::npos);
  if (!hashInTime) {
    Check(NameFromLogLine(line) == name);
    Check(NameFromLogLine(StartLogLine()).empty());
    Check(NameFromLogLine(StopLogLine()).empty());
  }
  // Whatever the line, the name read back is its tail after the first "#".
  const std::string back = NameFromLogLine(line);
  Check(line.size() >= back.size() &&
        line.compare(line.size() - back.size(), back.size(), back) == 0);
  return 0;
}
