#include "watcher/uMonThread2.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <new>
#include <system_error>
#include <thread>

#include "base/uPlatformText.h"
#include "base/uTimeText.h"
#include "watcher/uFolderMonitor.h"

namespace {

// Well under a display frame.
constexpr std::chrono::milliseconds kGatherPause{4};
// Changes that come closer together than this, on average, are a burst.
constexpr std::chrono::microseconds kBurstGap{1000};

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
  }
  {
    std::lock_guard lock(sourceMutex_);
    source_.reset();
  }
  finished_.store(true);
}

void TMonDirThread::Run(const TWatcherEnv& env) {
  // Checked where the stop is made, on the user-interface thread: nothing is announced after it.
  RunOnMain(env, [&] {
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
  RunOnMain(env, [&] {
    if (env.Ui && !Terminated()) env.Ui->RunEnded(*this, error, opened);
  });
}

void TMonDirThread::ReadLoop(const TWatcherEnv& env, TDirChanges& source) {
  std::vector<uint8_t> buffer(kChangeBufferSize);
  argTFolderMonitor previous;
  std::vector<TPendingReport> reports;
  auto lastRead = std::chrono::steady_clock::now();
  while (!Terminated()) {
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    const auto result = source.Read(buffer.data(), buffer.size(), FolderMonitor()->NotifyFilter);
    const auto readAt = std::chrono::steady_clock::now();
    const auto sinceLastRead = readAt - lastRead;
    lastRead = readAt;
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
    const size_t records = Decode(buffer, previous, reports);
    const bool wellFilled = result.Bytes >= buffer.size() / 4;
    buffer.resize(kChangeBufferSize);
    if (reports.empty()) continue;
    HandOver(env, reports);
    // In a burst of changes that come one by one (this read's records came less than a
    // millisecond apart, on average), they are gathered for a moment before the next read, so
    // that the burst reaches the user-interface thread in a few hand-overs rather than one for
    // each change; the screen shows them a frame later in any case. Changes a few milliseconds
    // apart are not held back, and a read that came back well filled had changes waiting already:
    // the next one follows at once.
    const bool burst = sinceLastRead < records * kBurstGap;
    if (burst && !wellFilled && !Terminated()) std::this_thread::sleep_for(kGatherPause);
  }
}

void TMonDirThread::ShowNotice(const TWatcherEnv& env, const std::string& text) {
  if (text.empty()) return;
  RunOnMain(env, [&] {
    if (env.Ui && !Terminated()) env.Ui->ShowWatchNotice(text);
  });
}

// The events of one read that pass the repeat rule, each with the popup word it had when it was
// decoded; the terminate flag is checked before each record. Answers how many records were walked.
size_t TMonDirThread::Decode(const std::vector<uint8_t>& buffer, argTFolderMonitor& previous,
                             std::vector<TPendingReport>& reports) const {
  reports.clear();
  size_t records = 0;
  TRecordWalk walk(buffer.data(), buffer.size());
  uint32_t next;
  for (size_t offset; !Terminated() && walk.Next(offset);) {
    ++records;
    argTFolderMonitor event = DecodeRecord(buffer.data(), buffer.size(), offset, Folder, next);
    std::string word = ActionWord(event.Action);
    if (ShouldReport(event, previous)) reports.push_back({event, std::move(word)});
    previous = std::move(event);
  }
  return records;
}

// One hand-over carries the reports of one read; each is still checked against the terminate flag
// and reported on its own, in order.
void TMonDirThread::HandOver(const TWatcherEnv& env, std::vector<TPendingReport>& reports) {
  RunOnMain(env, [&] {
    for (auto& report : reports) {
      if (Terminated()) break;
      OperationText = std::move(report.Event.OperationText);
      FullPath = std::move(report.Event.FullPath);
      RelativeName = std::move(report.Event.RelativeName);
      OperationWord = std::move(report.Word);
      if (env.Ui) env.Ui->ReportChange(*this);
    }
  });
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
