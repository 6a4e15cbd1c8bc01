// Helpers of the Windows tests: a fresh temporary folder, files made through the wide calls, and
// whether the tests run under Wine (where some behaviour differs from Windows' own).
#pragma once

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "base/uPlatformText.h"
#include "base/uPlatformTextWin.h"

namespace win_test {

// True under Wine: its ntdll exports wine_get_version, Windows' does not.
inline bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TTempDir {
 public:
  TTempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, base);
    path_ = std::filesystem::path(base) / (L"vark-test-" + std::to_wstring(GetCurrentProcessId()) +
                                           L"-" + std::to_wstring(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The folder as the program's folder text: UTF-8, ending in the separator.
  std::string FolderText() const { return NarrowText(path_.wstring()) + kFolderSeparator; }
  // A path inside the folder from a UTF-8 relative name.
  std::filesystem::path operator/(std::string_view name) const { return path_ / WideText(name); }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace win_test
