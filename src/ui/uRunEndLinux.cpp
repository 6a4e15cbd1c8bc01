#include <cerrno>

#include "base/uPlatformText.h"
#include "ui/uRunEnd.h"

std::string RunEndReason(int error) {
  // What the change source answers when a watched folder goes: the common reasons in the
  // program's language, whatever the system's; any other in the system's own words (in the user's
  // language where the system has it).
  switch (error) {
    case 0:
      return "внутренняя ошибка программы";
    case ENOENT:
    case ENOTDIR:
      return "папка удалена, перемещена или отключена";
    case EACCES:
    case EPERM:
      return "нет доступа к папке";
    case EIO:
      return "ошибка чтения";
    case ENODEV:
    case ENXIO:
    case ESTALE:
    case ENOTCONN:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ETIMEDOUT:
      return "диск или сетевая папка недоступны";
    case ENOSPC:
      return "исчерпан системный предел наблюдения за папками";
    case EMFILE:
    case ENFILE:
      return "открыто слишком много файлов";
    case ENOMEM:
      return "недостаточно памяти";
    default:
      return SystemErrorText(error);
  }
}
