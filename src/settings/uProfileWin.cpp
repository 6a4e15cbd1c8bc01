// The INI layer's file access on Windows: the same rules as elsewhere (see uProfile.h), over the
// Win32 file calls. Paths are the program's UTF-8 text and reach the system through the wide calls.
// The file is kept in UTF-8; a file whose bytes are not valid UTF-8 was written in the ANSI code
// page by an earlier program and is read in that code page, so its settings keep working.
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "base/uPlatformText.h"
#include "base/uPlatformTextWin.h"
#include "settings/uProfile.h"

namespace {

int LastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    default:
      return EIO;
  }
}

}  // namespace

TProfileLock::TProfileLock(const std::string& path, bool exclusive) {
  // A file of its own, never replaced: a lock on the settings file would stay with the old file
  // when a save replaces it.
  const std::wstring name = WideText(path) + L".vark-lock";
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  OVERLAPPED at{};
  if (!LockFileEx(file, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &at)) {
    CloseHandle(file);
    return;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
}

TProfileLock::~TProfileLock() {
  // Closing the handle releases the lock.
  if (handle_ != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  const std::wstring wide = WideText(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  // A file past the bound is damaged, not settings: it is never read into memory, whatever its
  // size (a sparse terabyte included), and one that grows while it is read stops at the bound.
  int error = 0;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && static_cast<uint64_t>(size.QuadPart) > kProfileFileLimit) {
    error = EFBIG;
  }
  char buffer[65536];
  while (error == 0) {
    DWORD read = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr)) {
      error = LastError();
      break;
    }
    if (read == 0) break;
    if (content.size() + read > kProfileFileLimit) {
      error = EFBIG;
      break;
    }
    content.append(buffer, read);
  }
  if (error != 0) content.clear();
  CloseHandle(file);
  if (error == 0 && !IsValidUtf8(content)) content = AnsiToUtf8(content);
  return error;
}

bool ProfileFileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(WideText(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int WriteFileReplacing(const std::string& path, std::string_view content) {
  const std::wstring wide = WideText(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return EISDIR;
  if (exists && (attributes & FILE_ATTRIBUTE_READONLY)) return EACCES;
  const std::wstring sibling = wide + L".vark-new";
  HANDLE file = CreateFileW(sibling.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  DWORD written = 0;
  const bool ok =
      WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
      written == content.size() && FlushFileBuffers(file);
  int error = ok ? 0 : LastError();
  CloseHandle(file);
  // ReplaceFile keeps the old file's attributes and security; a new file is simply moved in.
  if (error == 0 &&
      !(exists ? ReplaceFileW(wide.c_str(), sibling.c_str(), nullptr,
                              REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
               : MoveFileExW(sibling.c_str(), wide.c_str(), MOVEFILE_WRITE_THROUGH))) {
    error = LastError();
  }
  if (error != 0) DeleteFileW(sibling.c_str());
  return error;
}
