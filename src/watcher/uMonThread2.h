// The folder watcher: change records turned into change events and log lines, and the worker
// thread that reads them and hands each reported event to the user-interface thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "watcher/uDirChanges.h"

// ---- change records and log lines ----

// One change event, decoded from one record.
struct argTFolderMonitor {
  std::string RelativeName;
  std::string FullPath;
  std::string OperationText;
  uint32_t Action = 0;
};

// Status-bar texts.
extern const char* const kStatusActive;    // "Мониторинг папки активен"
extern const char* const kStatusInactive;  // "Мониторинг папки отключён"

// The label of an action, used in the log ("создан:"), and its word, used in the popup ("создан").
std::string ActionLabel(uint32_t action);
std::string ActionWord(uint32_t action);

// Time text + three blanks + label + three blanks, with the time of the moment of the call.
std::string MakeOperationText(uint32_t action);

// Decodes the record at `offset` of a buffer. Fields that would reach past the end of the buffer
// are cut at its end. `next` receives NextEntryOffset.
argTFolderMonitor DecodeRecord(const uint8_t* buffer, size_t size, size_t offset,
                               const std::string& folder, uint32_t& next);

// All events of a buffer, in buffer order: from offset 0, advancing by NextEntryOffset until it is
// 0. The walk also stops where the next offset would leave the buffer.
std::vector<argTFolderMonitor> DecodeRecords(const uint8_t* buffer, size_t size,
                                             const std::string& folder);

// The repeat rule: false when the event names exactly the previous name with the previous action.
bool ShouldReport(const argTFolderMonitor& event, const argTFolderMonitor& previous);

std::string ChangeLogLine(const argTFolderMonitor& event);
std::string ChangeLogLine(std::string_view operationText, std::string_view relativeName);
std::string StartLogLine();
std::string StopLogLine();

// Everything after the first "#" of a log line; empty when there is none.
std::string NameFromLogLine(std::string_view line);

// ---- the watcher thread ----

class TMonDirThread;

// Runs work on the user-interface thread and returns when it has run there. An exception thrown by
// the work is passed back to the caller.
class IMainThreadCaller {
 public:
  virtual ~IMainThreadCaller() = default;
  virtual void RunAndWait(const std::function<void()>& work) = 0;
};

// The watcher's steps on the user-interface thread.
class IWatcherUi {
 public:
  virtual ~IWatcherUi() = default;
  // Status text "Мониторинг папки активен" and the start line.
  virtual void AnnounceStart() = 0;
  // Status text "Мониторинг папки отключён" and the stop line.
  virtual void AnnounceStop() = 0;
  // One reported change; reads the watcher's hand-over fields.
  virtual void ReportChange(const TMonDirThread& watcher) = 0;
  // A plain message box (no icon, the application title as caption, one OK button) with the
  // system's error text; returns when it is closed.
  virtual void ShowWatchError(const std::string& text) = 0;
  // A notice about the watch that does not end it (for example a system limit that was reached).
  virtual void ShowWatchNotice(const std::string& text) = 0;
};

// What a watcher needs from the rest of the program; set once by the program (or a test).
struct TWatcherEnv {
  IMainThreadCaller* MainThread = nullptr;  // null: steps run on the watcher's own thread
  // Shared ownership of MainThread where it must outlive its windows: a watcher keeps its copy of
  // the environment until its run ends.
  std::shared_ptr<IMainThreadCaller> MainThreadOwner;
  IWatcherUi* Ui = nullptr;
  TDirChangesFactory MakeSource;    // empty: the platform's source
  std::function<void()> BeforeRun;  // tests: runs first on the new thread
};
void SetWatcherEnv(TWatcherEnv env);
TWatcherEnv WatcherEnv();

class TMonDirThread {
 public:
  // Starts watching `folder` (a folder text, used unchanged) on a new thread at once. The thread
  // keeps the object alive until its run ends; callers may keep it longer, and stopping an object
  // whose run has ended is safe.
  static std::shared_ptr<TMonDirThread> Create(const std::string& folder);
  ~TMonDirThread();
  TMonDirThread(const TMonDirThread&) = delete;
  TMonDirThread& operator=(const TMonDirThread&) = delete;

  const std::string Folder;
  // Hand-over fields: written by the watcher, read by ReportChange on the user-interface thread
  // while the watcher waits.
  std::string OperationText;
  std::string FullPath;
  std::string RelativeName;
  std::string OperationWord;

  // Sets the terminate flag and wakes a blocked read.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  // The run has ended (or was skipped).
  bool Finished() const { return finished_.load(); }

 private:
  explicit TMonDirThread(std::string folder);
  void Execute();
  void Run(const TWatcherEnv& env);

  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex sourceMutex_;
  std::shared_ptr<TDirChanges> source_;
};

// The stop announcement, then the terminate flag. Does not wait for the thread.
void StopMonitor(const std::shared_ptr<TMonDirThread>& watcher);

// How many watcher threads are still running (tests, and the program's exit).
size_t LiveWatchers();
// Waits until no watcher thread runs; false when the time ran out first.
bool WaitForWatchers(std::chrono::milliseconds timeout);
