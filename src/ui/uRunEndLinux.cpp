#include <QCoreApplication>
#include <cerrno>

#include "base/uPlatformText.h"
#include "ui/uRunEnd.h"

std::string RunEndReason(int error) {
  // What the change source answers when a watched folder goes: the common reasons in the
  // program's language, whatever the system's; any other in the system's own words (in the user's
  // language where the system has it).
  switch (error) {
    case 0:
      return QCoreApplication::translate("RunEnd", "внутренняя ошибка программы").toStdString();
    case ENOENT:
    case ENOTDIR:
      return QCoreApplication::translate("RunEnd", "папка удалена, перемещена или отключена")
          .toStdString();
    case EACCES:
    case EPERM:
      return QCoreApplication::translate("RunEnd", "нет доступа к папке").toStdString();
    case EIO:
      return QCoreApplication::translate("RunEnd", "ошибка чтения").toStdString();
    case ENODEV:
    case ENXIO:
    case ESTALE:
    case ENOTCONN:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ETIMEDOUT:
      return QCoreApplication::translate("RunEnd", "диск или сетевая папка недоступны")
          .toStdString();
    case ENOSPC:
      return QCoreApplication::translate("RunEnd",
                                         "исчерпан системный предел наблюдения за папками")
          .toStdString();
    case EMFILE:
    case ENFILE:
      return QCoreApplication::translate("RunEnd", "открыто слишком много файлов").toStdString();
    case ENOMEM:
      return QCoreApplication::translate("RunEnd", "недостаточно памяти").toStdString();
    default:
      return SystemErrorText(error);
  }
}
