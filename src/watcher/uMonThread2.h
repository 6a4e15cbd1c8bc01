// The watcher thread: it reads a folder's change records and hands each reported change event to
// the user-interface thread. (The records and their texts: uChangeRecords.h, uLogLines.h.)
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

#include "watcher/uChangeRecords.h"
#include "watcher/uDirChanges.h"
#include "watcher/uLogLines.h"

// ---- the watcher thread ----

class TMonDirThread;

// Runs work on the user-interface thread.
class IMainThreadCaller {
 public:
  virtual ~IMainThreadCaller() = default;
  // Runs the work there and returns when it has run. An exception thrown by the work is passed
  // back to the caller.
  virtual void RunAndWait(const std::function<void()>& work) = 0;
  // Runs the work there soon, by the next display frame, without waiting for it: the thread that
  // shows what the work changed is woken once a frame, not once a call. Work runs in the order it
  // was asked for, this way or the other; work that throws is the asker's to keep from throwing.
  // By default at once, waiting for it. Throws, as RunAndWait, when the work can never run.
  virtual void RunSoon(std::function<void()> work) { RunAndWait(work); }
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
  // The run ended on its own, not by a stop: its folder could not be opened (`opened` false), or
  // reading it failed once it was (the folder gone, moved, unmounted, unreadable); `error` is the
  // system's code, 0 for an error of the program's own. By default the system's text in the plain
  // box, for a code.
  virtual void RunEnded(const TMonDirThread& watcher, int error, bool opened);
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

class TMonDirThread : public std::enable_shared_from_this<TMonDirThread> {
 public:
  // Starts watching `folder` (a folder text, used unchanged) on a new thread at once. The thread
  // keeps the object alive until its run ends; callers may keep it longer, and stopping an object
  // whose run has ended is safe.
  static std::shared_ptr<TMonDirThread> Create(const std::string& folder);
  ~TMonDirThread();
  TMonDirThread(const TMonDirThread&) = delete;
  TMonDirThread& operator=(const TMonDirThread&) = delete;

  const std::string Folder;
  // Hand-over fields: written on the user-interface thread just before each ReportChange, from
  // the reports the watcher handed over (see HandOver).
  std::string OperationText;
  std::string FullPath;
  std::string RelativeName;
  std::string OperationWord;

  // Sets the terminate flag and wakes a blocked read.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  // The run has ended (or was skipped).
  bool Finished() const { return finished_.load(); }
  // The start announcement of this run, made once: by the run as it begins, or by the stop when
  // the stop comes first, so that every start has its line, before its stop line.
  void AnnounceStart(IWatcherUi& ui);

 private:
  // One reported event of a read, with the popup word it had when it was decoded.
  struct TPendingReport {
    argTFolderMonitor Event;
    std::string Word;
  };
  explicit TMonDirThread(std::string folder);
  void Execute();
  void Run(const TWatcherEnv& env);
  void ReadLoop(const TWatcherEnv& env, TDirChanges& source);
  void Decode(const std::vector<uint8_t>& buffer, argTFolderMonitor& previous,
              std::vector<TPendingReport>& reports) const;
  void HandOver(const TWatcherEnv& env, std::vector<TPendingReport>& reports);
  // On the user-interface thread: reports what was handed over, in order, the terminate flag
  // checked before each. A failure is passed on when `rethrow`, else kept for the watcher, whose
  // read is woken to end the run with it.
  void Report(IWatcherUi* ui, bool rethrow);
  void ThrowIfReportFailed();
  void FinishReports(const TWatcherEnv& env);
  // Runs work on the user-interface thread from the watcher's and waits for it.
  void WaitForMain(const TWatcherEnv& env, const std::function<void()>& work);
  // A step on the user-interface thread, after the reports handed over before it.
  void RunStep(const TWatcherEnv& env, const std::function<void()>& step);
  void Ended(const TWatcherEnv& env, int error, bool opened);
  void ShowNotice(const TWatcherEnv& env, const std::string& text);

  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex sourceMutex_;
  std::shared_ptr<TDirChanges> source_;
  std::mutex startMutex_;
  bool startAnnounced_ = false;
  // Reports handed over and not yet reported: filled by the watcher, emptied on the
  // user-interface thread.
  std::mutex outboxMutex_;
  std::vector<TPendingReport> outbox_;
  bool reportAsked_ = false;          // a Report is on its way to the user-interface thread
  bool reporting_ = false;            // a Report is under way there
  std::exception_ptr reportFailure_;  // what a report threw, for the watcher
  bool endTold_ = false;              // the watcher's own thread only
};

// The stop announcement (after the start announcement when the watcher had not made it yet), then
// the terminate flag. Does not wait for the thread.
void StopMonitor(const std::shared_ptr<TMonDirThread>& watcher);

// How many watcher threads are still running (tests, and the program's exit).
size_t LiveWatchers();
// Waits until no watcher thread runs; false when the time ran out first.
bool WaitForWatchers(std::chrono::milliseconds timeout);
