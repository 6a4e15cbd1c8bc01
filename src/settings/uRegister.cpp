#include "settings/uRegister.h"

#include <exception>

#include "settings/uAppPaths.h"
#include "settings/uAutorunStore.h"
#include "settings/uUserMessages.h"

const char* const kAutorunErrorText =
    QT_TRANSLATE_NOOP("Messages", "при работе с реестром произошла ошибка");
const char* const kAutorunPathText = QT_TRANSLATE_NOOP(
    "Messages",
    "Путь к программе нельзя записать в автозагрузку: в нём есть знак «%» или символы не в "
    "кодировке UTF-8. Автозагрузка не включена");

void SetAutorun(const std::string& name, bool add) {
  SetAutorun(name, add, add ? ExecutablePath() : std::string());
}

void SetAutorun(const std::string& name, bool add, const std::string& path) {
  bool failed = false;
  try {
    if (add) {
      AutorunStoreSet(name, path);
    } else {
      AutorunStoreDelete(name);
    }
  } catch (const std::exception&) {
    failed = true;
  }
  // The box is shown outside the handler: it runs a modal loop of its own.
  if (failed) ShowError(MessageText(kAutorunErrorText));
}

bool AutorunExists(const std::string& name) {
  bool failed = false;
  try {
    return AutorunStoreExists(name);
  } catch (const std::exception&) {
    failed = true;
  }
  if (failed) ShowError(MessageText(kAutorunErrorText));
  return false;
}
