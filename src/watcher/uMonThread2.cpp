#include "watcher/uMonThread2.h"

#include <chrono>
#include <condition_variable>
#include <thread>

#include "base/uPlatformText.h"
#include "base/uTimeText.h"
#include "watcher/uFolderMonitor.h"

const char* const kStatusActive = "Мониторинг папки активен";
const char* const kStatusInactive = "Мониторинг папки отключён";

namespace {

constexpr const char* kGap = "   ";

// Well under a display frame.
constexpr std::chrono::milliseconds kGatherPause{4};
// Changes that come closer together than this, on average, are a burst.
constexpr std::chrono::microseconds kBurstGap{1000};

uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

std::string ActionLabel(uint32_t action) {
  switch (action) {
    case kActionAdded:
      return "создан:";
    case kActionRemoved:
      return "удален:";
    case kActionModified:
      return "изменен:";
    case kActionRenamedOld:
      return "переименован из:";
    case kActionRenamedNew:
      return "переименован в:";
    default:
      return "неопознанная операция:";
  }
}

std::string ActionWord(uint32_t action) {
  switch (action) {
    case kActionAdded:
      return "создан";
    case kActionRemoved:
      return "удален";
    case kActionModified:
      return "изменен";
    case kActionRenamedOld:
    case kActionRenamedNew:
      return "переименован";
    default:
      return "неопознанная операция";
  }
}

std::string MakeOperationText(uint32_t action) {
  return TimeText() + kGap + ActionLabel(action) + kGap;
}

argTFolderMonitor DecodeRecord(const uint8_t* buffer, size_t size, size_t offset,
                               const std::string& folder, uint32_t& next) {
  argTFolderMonitor event;
  next = 0;
  if (offset + 12 <= size) {
    const uint8_t* p = buffer + offset;
    next = GetU32(p);
    event.Action = GetU32(p + 4);
    // At most FileNameLength / 2 units, and never past the end of the buffer.
    size_t units = GetU32(p + 8) / 2;
    units = std::min(units, (size - offset - 12) / 2);
    std::u16string name(units, u'\0');
    for (size_t i = 0; i < units; ++i) {
      name[i] = static_cast<char16_t>(p[12 + 2 * i] | p[13 + 2 * i] << 8);
    }
    event.RelativeName = Utf16ToNarrow(name);
  }
  event.FullPath = folder + event.RelativeName;
  event.OperationText = MakeOperationText(event.Action);
  return event;
}

std::vector<argTFolderMonitor> DecodeRecords(const uint8_t* buffer, size_t size,
                                             const std::string& folder) {
  std::vector<argTFolderMonitor> events;
  size_t offset = 0;
  for (;;) {
    uint32_t next = 0;
    events.push_back(DecodeRecord(buffer, size, offset, folder, next));
    // The next record needs room for its 12-byte header: a damaged offset that lands on the end
    // of the buffer, or too close to it, ends the walk rather than giving an empty record.
    if (next == 0 || next > size - offset || size - offset - next < 12) break;
    offset += next;
  }
  return events;
}

bool ShouldReport(const argTFolderMonitor& event, const argTFolderMonitor& previous) {
  return !(event.RelativeName == previous.RelativeName && event.Action == previous.Action);
}

std::string ChangeLogLine(std::string_view operationText, std::string_view relativeName) {
  std::string line;
  line.reserve(operationText.size() + 2 + relativeName.size());
  line += operationText;
  line += " #";
  line += relativeName;
  return line;
}

std::string ChangeLogLine(const argTFolderMonitor& event) {
  return ChangeLogLine(event.OperationText, event.RelativeName);
}

std::string StartLogLine() {
  return TimeText() + kGap + " монитор запущен";
}

std::string StopLogLine() {
  return TimeText() + kGap + " монитор остановлен";
}

std::string NameFromLogLine(std::string_view line) {
  const size_t hash = line.find('#');
  if (hash == std::string_view::npos) return {};
  return std::string(line.substr(hash + 1));
}

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

// One reported event of a read, with the popup word it had when it was decoded.
struct TPendingReport {
  argTFolderMonitor Event;
  std::string Word;
};

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

void TMonDirThread::Execute() {
  const TWatcherEnv env = WatcherEnv();
  if (env.BeforeRun) env.BeforeRun();
  // A watcher stopped before it got to run skips its body and announces nothing.
  if (!Terminated()) {
    try {
      Run(env);
    } catch (...) {
      // An error inside the run ends it silently.
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
    if (env.Ui && !Terminated()) env.Ui->AnnounceStart();
  });

  std::shared_ptr<TDirChanges> source =
      env.MakeSource ? env.MakeSource() : MakePlatformDirChanges();
  {
    std::lock_guard lock(sourceMutex_);
    source_ = source;
  }
  if (Terminated()) return;

  const auto showError = [&](int error) {
    const std::string text = SystemErrorText(error);
    RunOnMain(env, [&] {
      if (env.Ui && !Terminated()) env.Ui->ShowWatchError(text);
    });
  };

  if (const int error = source->Open(Folder); error != 0) {
    showError(error);
    return;
  }

  std::vector<uint8_t> buffer(kChangeBufferSize);
  argTFolderMonitor previous;
  std::vector<TPendingReport> reports;
  auto lastRead = std::chrono::steady_clock::now();
  while (!Terminated()) {
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    const auto result = source->Read(buffer.data(), buffer.size(), FolderMonitor()->NotifyFilter);
    const auto readAt = std::chrono::steady_clock::now();
    const auto sinceLastRead = readAt - lastRead;
    lastRead = readAt;
    using S = TDirChanges::TReadStatus;
    if (result.Status == S::Stopped) break;
    if (result.Status == S::Failed) {
      // The folder went away or the read broke: say so rather than leave the status bar claiming
      // that monitoring runs.
      if (!Terminated()) showError(result.Error);
      break;
    }
    if (result.Status == S::Notice) {
      const std::string text = source->TakeNotice();
      if (!text.empty()) {
        RunOnMain(env, [&] {
          if (env.Ui && !Terminated()) env.Ui->ShowWatchNotice(text);
        });
      }
      continue;
    }
    // Records, or an overflow that left the buffer zeroed: one all-zero record.
    reports.clear();
    size_t offset = 0;
    int records = 0;
    while (!Terminated()) {
      ++records;
      uint32_t next = 0;
      argTFolderMonitor event = DecodeRecord(buffer.data(), buffer.size(), offset, Folder, next);
      std::string word = ActionWord(event.Action);
      if (ShouldReport(event, previous)) reports.push_back({event, std::move(word)});
      previous = std::move(event);
      if (next == 0 || next > buffer.size() - offset) break;
      offset += next;
    }
    if (reports.empty()) continue;
    // One hand-over carries the reports of one read; each is still checked against the terminate
    // flag and reported on its own, in order.
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
    // In a burst of changes that come one by one (this read's records came less than a
    // millisecond apart, on average), they are gathered for a moment before the next read, so
    // that the burst reaches the user-interface thread in a few hand-overs rather than one for
    // each change; the screen shows them a frame later in any case. Changes a few milliseconds
    // apart are not held back, and a read that came back well filled had changes waiting already:
    // the next one follows at once.
    const bool burst = sinceLastRead < records * kBurstGap;
    if (burst && result.Bytes < buffer.size() / 4 && !Terminated())
      std::this_thread::sleep_for(kGatherPause);
  }
}

void StopMonitor(const std::shared_ptr<TMonDirThread>& watcher) {
  if (!watcher) return;
  const TWatcherEnv env = WatcherEnv();
  if (env.Ui) env.Ui->AnnounceStop();
  watcher->Terminate();
}
