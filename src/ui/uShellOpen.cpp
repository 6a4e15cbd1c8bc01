#include "ui/uShellOpen.h"

#include <QByteArray>
#include <QDesktopServices>

QUrl UrlForPath(const std::string& path) {
  const QByteArray bytes(path.data(), static_cast<qsizetype>(path.size()));
  return QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"), QUrl::StrictMode);
}

void TQtShellOpen::Open(const std::string& path) {
  // Handed to the desktop as a URL, never through a command line; the result is not examined.
  QDesktopServices::openUrl(UrlForPath(path));
}
