#include "watcher/uLogLines.h"

#include "base/uTimeText.h"
#include "base/uTranslation.h"
#include "watcher/uDirChanges.h"

const char* const kStatusActive = QT_TRANSLATE_NOOP("LogLines", "Мониторинг папки активен");
const char* const kStatusInactive = QT_TRANSLATE_NOOP("LogLines", "Мониторинг папки отключён");

namespace {

constexpr const char* kGap = "   ";

// A text of a log line in the user's language. A translation with a "#" in it would move where the
// name is read back from; the Russian text stands in for it.
std::string LineText(const char* source) {
  std::string text = TTranslation::translate("LogLines", source);
  if (text.find('#') != std::string::npos) return source;
  return text;
}

}  // namespace

std::string MonitoringStatus(bool active) {
  return TTranslation::translate("LogLines", active ? kStatusActive : kStatusInactive);
}

std::string ActionLabel(uint32_t action) {
  switch (action) {
    case kActionAdded:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "создан:"));
    case kActionRemoved:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "удален:"));
    case kActionModified:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "изменен:"));
    case kActionRenamedOld:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "переименован из:"));
    case kActionRenamedNew:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "переименован в:"));
    default:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "неопознанная операция:"));
  }
}

std::string ActionWord(uint32_t action) {
  switch (action) {
    case kActionAdded:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "создан"));
    case kActionRemoved:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "удален"));
    case kActionModified:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "изменен"));
    case kActionRenamedOld:
    case kActionRenamedNew:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "переименован"));
    default:
      return LineText(QT_TRANSLATE_NOOP("LogLines", "неопознанная операция"));
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
  return TimeText() + kGap + LineText(QT_TRANSLATE_NOOP("LogLines", " монитор запущен"));
}

std::string StopLogLine() {
  return TimeText() + kGap + LineText(QT_TRANSLATE_NOOP("LogLines", " монитор остановлен"));
}

std::string NameFromLogLine(std::string_view line) {
  const size_t hash = line.find('#');
  if (hash == std::string_view::npos) return {};
  return std::string(line.substr(hash + 1));
}
