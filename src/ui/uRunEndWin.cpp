#include "base/uPlatformText.h"
#include "ui/uRunEnd.h"

std::string RunEndReason(int error) {
  // The system's message texts come in the user's language already.
  if (error == 0) return "внутренняя ошибка программы";
  return SystemErrorText(error);
}
