// The Windows change source: the system watches the whole subtree itself, and a thread of ours
// keeps a read pending at all times, so that the system's buffer for the handle is drained into our
// queue however slowly the watcher reads.
#include "watcher/uDirChangesWin.h"

#include <windows.h>

#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "base/uPlatformText.h"
#include "base/uPlatformTextWin.h"

namespace {

constexpr DWORD kNotifyAll =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_SIZE;

// The extended call and its record are missing from some SDKs' headers (mingw-w64's among them),
// so both are declared here; the call is looked up at run time, since systems before Windows 10
// 1709 (and Wine) do not have it and a program importing it would not even start there.
constexpr int kReadDirectoryNotifyExtendedInformation = 2;
using TReadDirectoryChangesExW = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD,
                                               LPOVERLAPPED, LPOVERLAPPED_COMPLETION_ROUTINE, int);
// FILE_NOTIFY_EXTENDED_INFORMATION: offsets of the fields we read.
constexpr size_t kExtNextEntryOffset = 0;
constexpr size_t kExtAction = 4;
constexpr size_t kExtFileAttributes = 56;
constexpr size_t kExtFileNameLength = 80;
constexpr size_t kExtFileName = 84;
// FILE_NOTIFY_INFORMATION.
constexpr size_t kFileName = 12;

TReadDirectoryChangesExW ExtendedRead() {
  static const TReadDirectoryChangesExW call = [] {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<TReadDirectoryChangesExW>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "ReadDirectoryChangesExW")))
                  : nullptr;
  }();
  return call;
}

uint32_t U32At(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool IsBelow(const std::u16string& name, const std::u16string& folder) {
  return name.size() > folder.size() && name.compare(0, folder.size(), folder) == 0 &&
         name[folder.size()] == u'\\';
}

class TWinDirChanges final : public TQueuedDirChanges {
 public:
  TWinDirChanges(TWinReadCall call, size_t bufferSize)
      : extended_(call == TWinReadCall::Best ? ExtendedRead() : nullptr),
        bufferSize_(static_cast<DWORD>(bufferSize & ~size_t{7})),
        stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~TWinDirChanges() override {
    Stop();
    if (reader_.joinable()) reader_.join();
    if (dir_ != INVALID_HANDLE_VALUE) CloseHandle(dir_);
    if (stopEvent_) CloseHandle(stopEvent_);
  }

  int Open(const std::string& folder) override {
    if (!stopEvent_) return static_cast<int>(GetLastError());
    if (dir_ != INVALID_HANDLE_VALUE) return ERROR_BUSY;
    folder_ = WideText(folder);
    if (!folder_.empty() && folder_.back() != L'\\' && folder_.back() != L'/') folder_ += L'\\';
    dir_ = CreateFileW(folder_.c_str(), FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (dir_ == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    // The system queues changes for the handle only once a read is outstanding, so Open answers
    // only after the reader has issued its first one: nothing made after Open is missed.
    std::unique_lock lock(startMutex_);
    reader_ = std::thread([this] { ReaderLoop(); });
    started_.wait(lock, [this] { return startState_ != kStarting; });
    if (startState_ == kRunning) return 0;
    lock.unlock();
    reader_.join();
    CloseHandle(dir_);
    dir_ = INVALID_HANDLE_VALUE;
    return startError_;
  }

 protected:
  void OnStop() override {
    if (stopEvent_) SetEvent(stopEvent_);
  }

 private:
  enum { kStarting, kRunning, kFailed };

  void Started(DWORD error) {
    {
      std::lock_guard lock(startMutex_);
      startError_ = static_cast<int>(error);
      startState_ = error == 0 ? kRunning : kFailed;
    }
    started_.notify_all();
  }

  BOOL Issue(void* buffer, OVERLAPPED* overlapped) {
    if (extended_) {
      return extended_(dir_, buffer, bufferSize_, TRUE, kNotifyAll, nullptr, overlapped, nullptr,
                       kReadDirectoryNotifyExtendedInformation);
    }
    return ReadDirectoryChangesW(dir_, buffer, bufferSize_, TRUE, kNotifyAll, nullptr, overlapped,
                                 nullptr);
  }

  void ReaderLoop() {
    // Aligned for the 64-bit fields of the extended records.
    std::vector<LONGLONG> buffer(bufferSize_ / sizeof(LONGLONG));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent) {
      const DWORD error = GetLastError();
      Started(error ? error : ERROR_NOT_ENOUGH_MEMORY);
      return;
    }
    const HANDLE waits[2] = {overlapped.hEvent, stopEvent_};
    std::vector<TChangeRecord> records;
    for (bool first = true;; first = false) {
      ResetEvent(overlapped.hEvent);
      if (!Issue(buffer.data(), &overlapped)) {
        const DWORD error = GetLastError();
        if (first) {
          Started(error ? error : ERROR_INVALID_FUNCTION);
        } else {
          PushFailure(static_cast<int>(error));
        }
        break;
      }
      if (first) Started(0);
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // Stopped: take the pending read back before its buffer goes away.
        DWORD ignored = 0;
        CancelIoEx(dir_, &overlapped);
        GetOverlappedResult(dir_, &overlapped, &ignored, TRUE);
        break;
      }
      DWORD bytes = 0;
      const bool completed = GetOverlappedResult(dir_, &overlapped, &bytes, FALSE);
      const DWORD error = completed ? 0 : GetLastError();
      const TWinReadOutcome outcome = ReadOutcome(completed, error, bytes);
      if (outcome == TWinReadOutcome::Overflow) {
        PushOverflow();
        continue;
      }
      if (outcome == TWinReadOutcome::Failed) {
        // The folder was deleted or the share went away.
        PushFailure(static_cast<int>(error));
        break;
      }
      for (auto& raw : ParseNotifyBuffer(reinterpret_cast<const uint8_t*>(buffer.data()), bytes,
                                         extended_ != nullptr)) {
        const bool isDir = IsFolder(raw);
        records.push_back({raw.Action, std::move(raw.Name), isDir});
      }
      Push(records);
    }
    CloseHandle(overlapped.hEvent);
  }

  // Whether a record names a folder. The extended records say so; for the plain ones an item that
  // is there is looked at, and a removed one is a folder when this source saw it as one.
  bool IsFolder(const TWinRawRecord& raw) {
    if (raw.HasAttributes) return (raw.Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool gone = raw.Action == kActionRemoved || raw.Action == kActionRenamedOld;
    if (gone) {
      const bool known = folders_.erase(raw.Name) > 0;
      if (known) {
        // Its subfolders went with it (or moved with it; their new names come as they are seen).
        for (auto it = folders_.begin(); it != folders_.end();) {
          it = IsBelow(*it, raw.Name) ? folders_.erase(it) : std::next(it);
        }
      }
      return known;
    }
    const std::u16string& name = raw.Name;
    const std::wstring path = folder_ + std::wstring(name.begin(), name.end());
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return folders_.count(name) > 0;
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder) {
      folders_.insert(name);
    } else {
      folders_.erase(name);
    }
    return folder;
  }

  const TReadDirectoryChangesExW extended_;
  const DWORD bufferSize_;
  HANDLE stopEvent_;
  HANDLE dir_ = INVALID_HANDLE_VALUE;
  std::wstring folder_;  // ends in the separator
  std::thread reader_;
  std::mutex startMutex_;
  std::condition_variable started_;
  int startState_ = kStarting;
  int startError_ = 0;
  std::unordered_set<std::u16string> folders_;  // reader thread only
};

}  // namespace

TWinReadOutcome ReadOutcome(bool completed, uint32_t error, uint32_t bytes) {
  // The system's buffer overflowed and the changes are lost: Windows completes the read with
  // zero bytes; some systems end it with ERROR_NOTIFY_ENUM_DIR instead.
  if (completed) return bytes == 0 ? TWinReadOutcome::Overflow : TWinReadOutcome::Records;
  return error == ERROR_NOTIFY_ENUM_DIR ? TWinReadOutcome::Overflow : TWinReadOutcome::Failed;
}

bool ExtendedReadAvailable() {
  return ExtendedRead() != nullptr;
}

std::vector<TWinRawRecord> ParseNotifyBuffer(const uint8_t* buffer, size_t bytes, bool extended) {
  const size_t nameAt = extended ? kExtFileName : kFileName;
  const size_t lengthAt = extended ? kExtFileNameLength : 8;
  std::vector<TWinRawRecord> out;
  for (size_t offset = 0; offset + nameAt <= bytes;) {
    const uint8_t* p = buffer + offset;
    const uint32_t length = U32At(p + lengthAt);
    if (length > bytes - offset - nameAt) break;
    TWinRawRecord record;
    record.Action = U32At(p + (extended ? kExtAction : 4));
    record.Name.resize(length / 2);
    std::memcpy(record.Name.data(), p + nameAt, record.Name.size() * 2);
    if (extended) {
      record.HasAttributes = true;
      record.Attributes = U32At(p + kExtFileAttributes);
    }
    out.push_back(std::move(record));
    const uint32_t next = U32At(p + (extended ? kExtNextEntryOffset : 0));
    if (next == 0) break;
    offset += next;
  }
  return out;
}

std::shared_ptr<TDirChanges> MakeWinDirChanges(TWinReadCall call, size_t bufferSize) {
  return std::make_shared<TWinDirChanges>(call, bufferSize);
}

std::shared_ptr<TDirChanges> MakePlatformDirChanges() {
  return MakeWinDirChanges(TWinReadCall::Best);
}
