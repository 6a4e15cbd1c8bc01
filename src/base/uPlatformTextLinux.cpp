#include <cstring>

#include "base/uPlatformText.h"

const char kFolderSeparator = '/';

std::string SystemErrorText(int error) {
  char buf[256];
  // The GNU strerror_r returns the text, which may or may not live in buf.
  return TrimSystemText(strerror_r(error, buf, sizeof buf));
}

std::filesystem::path PlatformPath(std::string_view narrow) {
  return std::filesystem::path(std::string(narrow));
}
