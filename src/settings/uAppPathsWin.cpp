#include <shlobj.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/uPlatformText.h"
#include "base/uPlatformTextWin.h"
#include "settings/uAppPaths.h"

std::string ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return NarrowText(std::wstring_view(buffer.data(), n));
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
  wchar_t path[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
    return {};
  return NarrowText(path);
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
  return std::filesystem::equivalent(PlatformPath(folder), PlatformPath(installed), error) &&
         !error;
}

bool FolderWritable(const std::string& folder) {
  // Creating and deleting a probe file is the one reliable answer under Windows' access rules.
  wchar_t name[MAX_PATH] = {};
  if (GetTempFileNameW(WideText(folder).c_str(), L"vrk", 0, name) == 0) return false;
  DeleteFileW(name);
  return true;
}

bool FileWritable(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(WideText(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY) &&
         !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
