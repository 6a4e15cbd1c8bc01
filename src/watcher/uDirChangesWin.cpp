// The Windows change source: the system watches the whole subtree itself (ReadDirectoryChangesW),
// and a thread of ours keeps a read pending at all times, so that the system's buffer for the
// handle is drained into our queue however slowly the watcher reads.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // ReadDirectoryChangesExW: Windows 10 1709
#endif
#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "watcher/uDirChanges.h"
#include "watcher/uPlatformText.h"

namespace {

constexpr DWORD kNotifyAll =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_SIZE;
// 64 KiB: the most a read over the network may ask for.
constexpr DWORD kBufferSize = 64 * 1024;

class TWinDirChanges final : public TQueuedDirChanges {
 public:
  TWinDirChanges() : stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~TWinDirChanges() override {
    Stop();
    if (reader_.joinable()) reader_.join();
    if (dir_ != INVALID_HANDLE_VALUE) CloseHandle(dir_);
    if (stopEvent_) CloseHandle(stopEvent_);
  }

  int Open(const std::string& folder) override {
    if (!stopEvent_) return static_cast<int>(GetLastError());
    if (dir_ != INVALID_HANDLE_VALUE) return ERROR_BUSY;
    const std::u16string path = NarrowToUtf16(folder);
    dir_ = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (dir_ == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    reader_ = std::thread([this] { ReaderLoop(); });
    return 0;
  }

 protected:
  void OnStop() override {
    if (stopEvent_) SetEvent(stopEvent_);
  }

 private:
  void ReaderLoop() {
    // Aligned for the 64-bit fields of the extended records.
    std::vector<LONGLONG> buffer(kBufferSize / sizeof(LONGLONG));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent) {
      PushFailure(static_cast<int>(GetLastError()));
      return;
    }
    const HANDLE waits[2] = {overlapped.hEvent, stopEvent_};
    std::vector<TChangeRecord> records;
    for (;;) {
      ResetEvent(overlapped.hEvent);
      // The extended records carry the item's attributes, so a removed folder is known to be one.
      if (!ReadDirectoryChangesExW(dir_, buffer.data(), kBufferSize, TRUE, kNotifyAll, nullptr,
                                   &overlapped, nullptr, ReadDirectoryNotifyExtendedInformation)) {
        PushFailure(static_cast<int>(GetLastError()));
        break;
      }
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // Stopped: take the pending read back before its buffer goes away.
        DWORD ignored = 0;
        CancelIoEx(dir_, &overlapped);
        GetOverlappedResult(dir_, &overlapped, &ignored, TRUE);
        break;
      }
      DWORD bytes = 0;
      if (!GetOverlappedResult(dir_, &overlapped, &bytes, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_NOTIFY_ENUM_DIR) {
          PushOverflow();
          continue;
        }
        // The folder was deleted or the share went away.
        PushFailure(static_cast<int>(error));
        break;
      }
      if (bytes == 0) {
        // The system's buffer overflowed: the changes are lost.
        PushOverflow();
        continue;
      }
      const auto* base = reinterpret_cast<const BYTE*>(buffer.data());
      for (DWORD offset = 0;;) {
        const auto* info = reinterpret_cast<const FILE_NOTIFY_EXTENDED_INFORMATION*>(base + offset);
        const auto* name = reinterpret_cast<const char16_t*>(info->FileName);
        records.push_back({info->Action, std::u16string(name, info->FileNameLength / sizeof(WCHAR)),
                           (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        if (info->NextEntryOffset == 0) break;
        offset += info->NextEntryOffset;
      }
      Push(records);
    }
    CloseHandle(overlapped.hEvent);
  }

  HANDLE stopEvent_;
  HANDLE dir_ = INVALID_HANDLE_VALUE;
  std::thread reader_;
};

}  // namespace

std::shared_ptr<TDirChanges> MakePlatformDirChanges() {
  return std::make_shared<TWinDirChanges>();
}
