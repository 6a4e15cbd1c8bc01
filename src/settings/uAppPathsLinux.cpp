#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/uPlatformText.h"
#include "settings/uAppPaths.h"

std::string ExecutablePath() {
  // The link's length is not known in advance: grow the buffer until the answer fits.
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() >= (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string ExecutableDir() {
  const std::string path = ExecutablePath();
  const size_t slash = path.rfind(kFolderSeparator);
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);
}

std::string ConfigHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    home = h;
  } else {
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/') {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return {};
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return (home == "/" ? "" : home) + "/.config";
}

std::string InstalledProgramDir() {
#ifdef VARK_INSTALL_BINDIR
  return VARK_INSTALL_BINDIR;
#else
  return {};
#endif
}

bool IsInstalledProgramDir(const std::string& folder) {
  const std::string installed = InstalledProgramDir();
  if (installed.empty() || folder.empty()) return false;
  // The same folder, not the same text: links, a trailing separator and bind mounts all count.
  std::error_code error;
  return std::filesystem::equivalent(std::filesystem::path(folder),
                                     std::filesystem::path(installed), error) &&
         !error;
}

bool FolderWritable(const std::string& folder) {
  return !folder.empty() && access(folder.c_str(), W_OK | X_OK) == 0;
}

bool FileWritable(const std::string& path) {
  return access(path.c_str(), W_OK) == 0;
}
