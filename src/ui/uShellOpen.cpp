#include "ui/uShellOpen.h"

#include <QByteArray>
#include <QDesktopServices>
#include <filesystem>

std::string AbsolutePath(const std::string& path) {
  // An empty folder in the settings leaves names relative to the current folder; the desktop
  // would read such a path as a host name or nothing at all.
  const std::filesystem::path given(path);
  if (path.empty() || given.is_absolute()) return path;
  return (std::filesystem::current_path() / given).string();
}

QUrl UrlForPath(const std::string& path) {
  const std::string absolute = AbsolutePath(path);
  const QByteArray bytes(absolute.data(), static_cast<qsizetype>(absolute.size()));
  // The path goes into the path part as its own bytes; no text is glued into a URL that could
  // move part of it into the host.
  QUrl url;
  url.setScheme(QStringLiteral("file"));
  // An empty authority, present: a path that starts with "//" stays a path.
  url.setHost(QStringLiteral(""));
  url.setPath(QString::fromLatin1(bytes.toPercentEncoding("/")), QUrl::StrictMode);
  return url;
}

void TQtShellOpen::Open(const std::string& path) {
  // Handed to the desktop as a URL, never through a command line; the result is not examined.
  QDesktopServices::openUrl(UrlForPath(path));
}
