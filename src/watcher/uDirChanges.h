// The change source: the platform's counterpart of opening a folder and reading its change records
// (CreateFile + ReadDirectoryChangesW on Windows).
//
// Contract, for every implementation:
// - Open(folder) prepares watching the folder and its whole subtree; it answers 0 or the system's
//   error code (errno on Linux).
// - Read(buffer, size, filter) blocks until at least one change selected by the filter has happened
//   and fills the buffer with records in the FILE_NOTIFY_INFORMATION layout: NextEntryOffset,
//   Action, FileNameLength (32-bit little-endian each), then the UTF-16LE name relative to the
//   watched folder. Each record starts on a 4-byte boundary; the last one has NextEntryOffset 0 and
//   is not padded. At most `size` bytes are used; records that do not fit stay for the next read.
//   When changes were lost it answers Overflow and leaves the buffer as it was (all zeros).
//   When the next record alone is larger than `size` (a long path), it answers TooSmall with the
//   size that record needs in Bytes and delivers nothing: a read with that much room gets it.
//   (The Windows source never answers TooSmall: the system itself tells an overflow then.)
// - Stop() may be called from any thread; it wakes a blocked Read at once, which then answers
//   Stopped, and every later Read answers Stopped too.
// - A notice (for example a system limit that was reached) ends a blocked Read with Notice;
//   TakeNotice() then gives its text once.
// - A caller that is going to be away from Read for a while (waiting for another thread) says so
//   with GoingAway(): a source that reads on the caller's thread while it keeps up hands the
//   reading to a thread of its own meanwhile. Between calls of Read a caller is otherwise expected
//   back soon.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// NotifyFilter bits.
constexpr uint32_t kNotifyFileName = 1;
constexpr uint32_t kNotifyDirName = 2;
constexpr uint32_t kNotifySize = 8;

// Action values of a record.
constexpr uint32_t kActionAdded = 1;
constexpr uint32_t kActionRemoved = 2;
constexpr uint32_t kActionModified = 3;
constexpr uint32_t kActionRenamedOld = 4;
constexpr uint32_t kActionRenamedNew = 5;

// The size of the buffer one read fills.
constexpr size_t kChangeBufferSize = 2048;

// One change waiting to be delivered.
struct TChangeRecord {
  uint32_t Action = 0;
  std::u16string Name;  // relative to the watched folder
  bool IsDir = false;   // decides which filter bit selects it
};

// True when the filter selects the record.
bool FilterSelects(uint32_t notifyFilter, const TChangeRecord& record);

// Packs records into a buffer in the FILE_NOTIFY_INFORMATION layout.
class TRecordWriter {
 public:
  TRecordWriter(uint8_t* buffer, size_t size) : buffer_(buffer), size_(size) {}
  // Appends one record; false when it does not fit into what is left of the buffer.
  bool Append(uint32_t action, std::u16string_view name);
  size_t Bytes() const { return end_; }
  size_t Count() const { return count_; }
  // The space one record with a name of `units` UTF-16 units takes, unpadded.
  static size_t RecordSize(size_t units) { return 12 + 2 * units; }

 private:
  uint8_t* buffer_;
  size_t size_;
  size_t end_ = 0;        // end of the last record written
  size_t lastStart_ = 0;  // start of the last record written
  size_t count_ = 0;
};

class TDirChanges {
 public:
  enum class TReadStatus { Records, Overflow, Notice, Failed, Stopped, TooSmall };
  struct TReadResult {
    TReadStatus Status = TReadStatus::Stopped;
    size_t Bytes = 0;  // with Records: bytes filled; with TooSmall: bytes needed
    int Error = 0;     // with Failed: the system's error code
  };

  virtual ~TDirChanges() = default;
  virtual int Open(const std::string& folder) = 0;
  virtual TReadResult Read(uint8_t* buffer, size_t size, uint32_t notifyFilter) = 0;
  virtual void Stop() = 0;
  virtual std::string TakeNotice() = 0;
  virtual void GoingAway() {}
};

// A source whose producer (a thread of its own, or a test script) pushes records into a queue that
// Read drains. Memory held is what waits to be read.
class TQueuedDirChanges : public TDirChanges {
 public:
  TReadResult Read(uint8_t* buffer, size_t size, uint32_t notifyFilter) override;
  void Stop() override;
  std::string TakeNotice() override;

  // How many records wait to be read.
  size_t Pending() const;

  // Records beyond this many waiting, or beyond this many bytes, are dropped, and the reader learns
  // at that point that changes were lost (an overflow); the source itself stays in step with the
  // folder. (Bytes too: a record carries its whole path, and paths deep in a tree are long.)
  static constexpr size_t kDefaultMaxPending = size_t{1} << 18;
  static constexpr size_t kDefaultMaxPendingBytes = size_t{64} << 20;
  void SetMaxPending(size_t records, size_t bytes = kDefaultMaxPendingBytes);

 protected:
  void Push(TChangeRecord record);
  void Push(std::vector<TChangeRecord>& records);  // moves them out
  // Changes were lost: after what is queued, one read answers Overflow.
  void PushOverflow();
  // After what is queued, every read answers Failed with this code.
  void PushFailure(int error);
  void PushNotice(std::string text);
  bool StopRequested() const;
  // Called once by Stop(), after the flag is set, to wake the producer.
  virtual void OnStop() {}
  // Called by Read, without the queue's lock, when nothing waits to be read. A producer that can
  // work on the reading thread takes one step there (a wait for the kernel, or a read handled) and
  // answers true; false: Read waits for the producer's own thread, or for NudgeRead.
  virtual bool ProduceHere() { return false; }
  // Wakes a Read that waits for the producer's thread, to try ProduceHere again.
  void NudgeRead();

 private:
  enum class TItemKind { Record, Overflow, Failure };
  struct TItem {
    TItemKind Kind;
    TChangeRecord Record;
    int Error = 0;
  };
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // Appends while the cap allows; under the lock.
  void Append(TChangeRecord& record);

  // What a waiting record costs against the cap on bytes.
  static size_t Cost(const TChangeRecord& record) {
    return sizeof(TItem) + record.Name.size() * sizeof(char16_t);
  }

  std::deque<TItem> queue_;
  size_t records_ = 0, bytes_ = 0;
  size_t maxRecords_ = kDefaultMaxPending, maxBytes_ = kDefaultMaxPendingBytes;
  std::string notice_;
  bool noticeReady_ = false;
  bool stopped_ = false;
  bool nudged_ = false;
};

// Makes the change source for a watched folder.
using TDirChangesFactory = std::function<std::shared_ptr<TDirChanges>()>;

// The platform's own source (inotify on Linux).
std::shared_ptr<TDirChanges> MakePlatformDirChanges();
