#include "ui/uGuard.h"

#include <QCoreApplication>
#include <exception>

#include "settings/uUserMessages.h"

void GuardHandler(const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    ShowError(e.what());
  } catch (...) {
    ShowError(QCoreApplication::translate("Messages", "Неизвестная ошибка").toStdString());
  }
}
