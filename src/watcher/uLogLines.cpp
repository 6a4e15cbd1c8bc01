#include "watcher/uLogLines.h"

#include "base/uTimeText.h"
#include "watcher/uDirChanges.h"

const char* const kStatusActive = "Мониторинг папки активен";
const char* const kStatusInactive = "Мониторинг папки отключён";

namespace {

constexpr const char* kGap = "   ";

}  // namespace

std::string ActionLabel(uint32_t action) {
  switch (action) {
    case kActionAdded:
      return "создан:";
    case kActionRemoved:
      return "удален:";
    case kActionModified:
      return "изменен:";
    case kActionRenamedOld:
      return "переименован из:";
    case kActionRenamedNew:
      return "переименован в:";
    default:
      return "неопознанная операция:";
  }
}

std::string ActionWord(uint32_t action) {
  switch (action) {
    case kActionAdded:
      return "создан";
    case kActionRemoved:
      return "удален";
    case kActionModified:
      return "изменен";
    case kActionRenamedOld:
    case kActionRenamedNew:
      return "переименован";
    default:
      return "неопознанная операция";
  }
}

std::string MakeOperationText(uint32_t action) {
  return TimeText() + kGap + ActionLabel(action) + kGap;
}

std::string ChangeLogLine(std::string_view operationText, std::string_view relativeName) {
  std::string line;
  line.reserve(operationText.size() + 2 + relativeName.size());
  line += operationText;
  line += " #";
  line += relativeName;
  return line;
}

std::string StartLogLine() {
  return TimeText() + kGap + " монитор запущен";
}

std::string StopLogLine() {
  return TimeText() + kGap + " монитор остановлен";
}

std::string NameFromLogLine(std::string_view line) {
  const size_t hash = line.find('#');
  if (hash == std::string_view::npos) return {};
  return std::string(line.substr(hash + 1));
}
