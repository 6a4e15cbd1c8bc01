#include <QCoreApplication>

#include "base/uPlatformText.h"
#include "ui/uRunEnd.h"

std::string RunEndReason(int error) {
  // The system's message texts come in the user's language already.
  if (error == 0)
    return QCoreApplication::translate("RunEnd", "внутренняя ошибка программы").toStdString();
  return SystemErrorText(error);
}
