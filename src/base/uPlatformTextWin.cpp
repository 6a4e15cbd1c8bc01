#include "base/uPlatformTextWin.h"

#include <windows.h>

#include "base/uPlatformText.h"

const char kFolderSeparator = '\\';

std::wstring WideText(std::string_view narrow) {
  const std::u16string wide = NarrowToUtf16(narrow);
  return std::wstring(wide.begin(), wide.end());
}

std::string NarrowText(std::wstring_view wide) {
  return Utf16ToNarrow(
      std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

std::filesystem::path PlatformPath(std::string_view narrow) {
  return std::filesystem::path(WideText(narrow));
}

std::string AnsiToUtf8(std::string_view ansi, unsigned codePage) {
  if (ansi.empty()) return {};
  const int size = static_cast<int>(ansi.size());
  const int n = MultiByteToWideChar(codePage, 0, ansi.data(), size, nullptr, 0);
  if (n <= 0) return std::string(ansi);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, ansi.data(), size, wide.data(), n);
  return NarrowText(wide);
}

std::string SystemErrorText(int error) {
  wchar_t* buffer = nullptr;
  // Wide, so that the text reaches the user whatever the ANSI code page is.
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = n && buffer ? NarrowText(std::wstring_view(buffer, n)) : std::string();
  LocalFree(buffer);
  return TrimSystemText(std::move(text));
}
