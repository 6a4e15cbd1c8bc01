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
#include "uTempFolder.h"

namespace win_test {

// True under Wine: its ntdll exports wine_get_version, Windows' does not.
inline bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

using TTempDir = test_support::TTempFolder;

inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace win_test
