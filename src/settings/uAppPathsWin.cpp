#include <shlobj.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "settings/uAppPaths.h"
#include "watcher/uPlatformText.h"

std::string ExecutablePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
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
  char path[MAX_PATH] = {};
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
    return {};
  return path;
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
  // Creating and deleting a probe file is the one reliable answer under Windows' access rules.
  char name[MAX_PATH] = {};
  if (GetTempFileNameA(folder.c_str(), "vrk", 0, name) == 0) return false;
  DeleteFileA(name);
  return true;
}

bool FileWritable(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY) &&
         !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
