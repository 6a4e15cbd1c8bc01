// Opens files and folders with the desktop's default handler.
#pragma once

#include <QUrl>
#include <string>

#include "actions/uAdditionalLogic.h"

// The path made absolute against the current folder (an empty path stays empty).
std::string AbsolutePath(const std::string& path);

// The file URL of a path, built from its bytes, so that names which are not valid text still name
// the same file. A relative path is taken from the current folder.
QUrl UrlForPath(const std::string& path);

class TQtShellOpen : public IShellOpen {
 public:
  void Open(const std::string& path) override;
};
