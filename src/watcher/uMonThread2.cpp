#include "watcher/uMonThread2.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <iterator>
#include <new>
#include <system_error>
#include <thread>

#include "base/uPlatformText.h"
#include "base/uTimeText.h"
#include "watcher/uFolderMonitor.h"

namespace {

// Reports handed over beyond this many, still waiting for their frame, are handed over the slow
// way: the watcher waits until the user-interface thread has reported them (and meanwhile the
// change source holds what comes). A bound on what a slow user-interface thread makes us hold.
constexpr size_t kMaxWaitingReports = 4096;

}  // namespace

// ---- environment and thread accounting ----

namespace {

std::mutex gEnvMutex;
TWatcherEnv gEnv;

std::mutex gLiveMutex;
std::condition_variable gLiveChanged;
size_t gLive = 0;

void RunOnMain(const TWatcherEnv& env, const std::function<void()>& work) {
  if (env.MainThread) {
    env.MainThread->RunAndWait(work);
  } else {
    work();
  }
}

}  // namespace

void SetWatcherEnv(TWatcherEnv env) {
  std::lock_guard lock(gEnvMutex);
  gEnv = std::move(env);
}

TWatcherEnv WatcherEnv() {
  std::lock_guard lock(gEnvMutex);
  return gEnv;
}

size_t LiveWatchers() {
  std::lock_guard lock(gLiveMutex);
  return gLive;
}

bool WaitForWatchers(std::chrono::milliseconds timeout) {
  std::unique_lock lock(gLiveMutex);
  return gLiveChanged.wait_for(lock, timeout, [] { return gLive == 0; });
}

TMonDirThread::TMonDirThread(std::string folder) : Folder(std::move(folder)) {}

TMonDirThread::~TMonDirThread() = default;

std::shared_ptr<TMonDirThread> TMonDirThread::Create(const std::string& folder) {
  ReplaceFolderMonitor();
  std::shared_ptr<TMonDirThread> watcher(new TMonDirThread(folder));
  {
    std::lock_guard lock(gLiveMutex);
    ++gLive;
  }
  // The thread owns a reference for as long as it runs: the object frees itself when the run
  // ends unless somebody else still holds it.
  std::thread([self = watcher]() mutable {
    self->Execute();
    self.reset();
    std::lock_guard lock(gLiveMutex);
    --gLive;
    gLiveChanged.notify_all();
  }).detach();
  return watcher;
}

void TMonDirThread::Terminate() {
  terminated_.store(true);
  std::shared_ptr<TDirChanges> source;
  {
    std::lock_guard lock(sourceMutex_);
    source = source_;
  }
  if (source) source->Stop();
}

void IWatcherUi::RunEnded(const TMonDirThread&, int error, bool) {
  if (error != 0) ShowWatchError(SystemErrorText(error));
}

void TMonDirThread::AnnounceStart(IWatcherUi& ui) {
  std::lock_guard lock(startMutex_);
  if (startAnnounced_) return;
  startAnnounced_ = true;
  ui.AnnounceStart();
}

void TMonDirThread::Execute() {
  const TWatcherEnv env = WatcherEnv();
  if (env.BeforeRun) env.BeforeRun();
  // A watcher stopped before it got to run skips its body; its stop made its start line.
  if (!Terminated()) {
    int error = -1;
    try {
      Run(env);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    } catch (const std::system_error& failure) {
      error = failure.code().value();
    } catch (...) {
      error = 0;
    }
    // An error inside the run ends it too, and the user is told so, unless the telling itself
    // failed.
    if (error >= 0 && !endTold_) {
      try {
        Ended(env, error, true);
      } catch (...) {
      }
    }
    FinishReports(env);
  }
  {
    std::lock_guard lock(sourceMutex_);
    source_.reset();
  }
  finished_.store(true);
}

// A run ends once what it handed over has been reported (or dropped after a stop): whoever waits
// for the watcher to end finds its last lines made.
void TMonDirThread::FinishReports(const TWatcherEnv& env) {
  {
    std::lock_guard lock(outboxMutex_);
    if (!reportAsked_ && !reporting_ && outbox_.empty()) return;
  }
  try {
    RunOnMain(env, [&] { Report(env.Ui, false); });
  } catch (...) {
    // The user-interface thread is gone: nothing is left to report to.
  }
}

void TMonDirThread::Run(const TWatcherEnv& env) {
  // Checked where the stop is made, on the user-interface thread: nothing is announced after it.
  RunStep(env, [&] {
    if (env.Ui && !Terminated()) AnnounceStart(*env.Ui);
  });

  std::shared_ptr<TDirChanges> source =
      env.MakeSource ? env.MakeSource() : MakePlatformDirChanges();
  {
    std::lock_guard lock(sourceMutex_);
    source_ = source;
  }
  if (Terminated()) return;
  if (const int error = source->Open(Folder); error != 0) {
    Ended(env, error, false);
    return;
  }
  ReadLoop(env, *source);
}

void TMonDirThread::Ended(const TWatcherEnv& env, int error, bool opened) {
  endTold_ = true;
  // A run that was stopped has ended as the user asked: nothing to tell.
  RunStep(env, [&] {
    if (env.Ui && !Terminated()) env.Ui->RunEnded(*this, error, opened);
  });
}

void TMonDirThread::ReadLoop(const TWatcherEnv& env, TDirChanges& source) {
  std::vector<uint8_t> buffer(kChangeBufferSize);
  argTFolderMonitor previous;
  std::vector<TPendingReport> reports;
  while (!Terminated()) {
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    const auto result = source.Read(buffer.data(), buffer.size(), FolderMonitor()->NotifyFilter);
    // A report that failed woke the read to end the run.
    ThrowIfReportFailed();
    using S = TDirChanges::TReadStatus;
    if (result.Status == S::Stopped) break;
    if (result.Status == S::Failed) {
      // The folder went away or the read broke: say so rather than leave the status bar claiming
      // that monitoring runs.
      if (!Terminated()) Ended(env, result.Error, true);
      break;
    }
    if (result.Status == S::Notice) {
      ShowNotice(env, source.TakeNotice());
      continue;
    }
    if (result.Status == S::TooSmall) {
      // A record with a long path: the buffer grows to hold it whole, for this read.
      buffer.resize(result.Bytes);
      continue;
    }
    // Records, or an overflow that left the buffer zeroed: one all-zero record.
    Decode(buffer, previous, reports);
    buffer.resize(kChangeBufferSize);
    if (!reports.empty()) HandOver(env, reports);
  }
}

void TMonDirThread::ShowNotice(const TWatcherEnv& env, const std::string& text) {
  if (text.empty()) return;
  RunStep(env, [&] {
    if (env.Ui && !Terminated()) env.Ui->ShowWatchNotice(text);
  });
}

// The events of one read that pass the repeat rule, each with the popup word it had when it was
// decoded; the terminate flag is checked before each record.
void TMonDirThread::Decode(const std::vector<uint8_t>& buffer, argTFolderMonitor& previous,
                           std::vector<TPendingReport>& reports) const {
  reports.clear();
  TRecordWalk walk(buffer.data(), buffer.size());
  uint32_t next;
  for (size_t offset; !Terminated() && walk.Next(offset);) {
    argTFolderMonitor event = DecodeRecord(buffer.data(), buffer.size(), offset, Folder, next);
    std::string word = ActionWord(event.Action);
    if (ShouldReport(event, previous)) reports.push_back({event, std::move(word)});
    previous = std::move(event);
  }
}

// The reports of a read go to the user-interface thread without waiting for it: they wait in the
// outbox for the next frame there, and the first of a frame asks for one Report, which reports
// everything that came by then. Only when too many wait does the watcher wait too.
void TMonDirThread::HandOver(const TWatcherEnv& env, std::vector<TPendingReport>& reports) {
  if (!env.MainThread) {
    // No user-interface thread: reported here and now.
    std::lock_guard lock(outboxMutex_);
    outbox_.swap(reports);
  } else {
    bool ask = false;
    size_t waiting = 0;
    {
      std::lock_guard lock(outboxMutex_);
      if (reportFailure_) std::rethrow_exception(reportFailure_);
      if (outbox_.empty()) {
        outbox_.swap(reports);
      } else {
        std::move(reports.begin(), reports.end(), std::back_inserter(outbox_));
      }
      waiting = outbox_.size();
      ask = !reportAsked_;
      reportAsked_ = true;
    }
    reports.clear();
    if (waiting <= kMaxWaitingReports) {
      if (ask) {
        env.MainThread->RunSoon(
            [self = shared_from_this(), ui = env.Ui] { self->Report(ui, false); });
      }
      return;
    }
  }
  WaitForMain(env, [&] { Report(env.Ui, true); });
}

void TMonDirThread::Report(IWatcherUi* ui, bool rethrow) {
  std::vector<TPendingReport> reports;
  {
    std::lock_guard lock(outboxMutex_);
    reports.swap(outbox_);
    reportAsked_ = false;
    // After a failure nothing more is reported: the run is ending.
    if (reportFailure_) return;
    reporting_ = true;
  }
  std::exception_ptr failure;
  try {
    for (auto& report : reports) {
      if (Terminated()) break;
      OperationText = std::move(report.Event.OperationText);
      FullPath = std::move(report.Event.FullPath);
      RelativeName = std::move(report.Event.RelativeName);
      OperationWord = std::move(report.Word);
      if (ui) ui->ReportChange(*this);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  {
    std::lock_guard lock(outboxMutex_);
    reporting_ = false;
    if (failure && !rethrow) {
      reportFailure_ = failure;
      outbox_.clear();
    }
  }
  if (!failure) return;
  if (rethrow) std::rethrow_exception(failure);
  std::lock_guard lock(sourceMutex_);
  if (source_) source_->Stop();
}

// The wait may be long (a message box): meanwhile the source reads on a thread of its own.
void TMonDirThread::WaitForMain(const TWatcherEnv& env, const std::function<void()>& work) {
  if (env.MainThread) {
    std::shared_ptr<TDirChanges> source;
    {
      std::lock_guard lock(sourceMutex_);
      source = source_;
    }
    if (source) source->GoingAway();
  }
  RunOnMain(env, work);
}

void TMonDirThread::ThrowIfReportFailed() {
  std::lock_guard lock(outboxMutex_);
  if (reportFailure_) std::rethrow_exception(reportFailure_);
}

void TMonDirThread::RunStep(const TWatcherEnv& env, const std::function<void()>& step) {
  WaitForMain(env, [&] {
    Report(env.Ui, true);
    step();
  });
  ThrowIfReportFailed();
}

void StopMonitor(const std::shared_ptr<TMonDirThread>& watcher) {
  if (!watcher) return;
  const TWatcherEnv env = WatcherEnv();
  if (env.Ui) {
    watcher->AnnounceStart(*env.Ui);
    env.Ui->AnnounceStop();
  }
  watcher->Terminate();
}
