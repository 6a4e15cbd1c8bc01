#include "watcher/uPathProbe.h"

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "watcher/uPlatformText.h"

namespace {

TPathKind RealLook(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return TPathKind::None;
  std::error_code error;
  const auto status = std::filesystem::status(PlatformPath(path), error);
  if (error || !std::filesystem::exists(status)) return TPathKind::None;
  return std::filesystem::is_directory(status) ? TPathKind::Folder : TPathKind::File;
}

// One helper thread takes one request at a time. It is detached and lives as long as the
// program: a look that hangs must not hold up the program's end.
struct TProber {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool HasRequest = false;  // a request waits for the helper or is being looked at
  bool Answered = false;
  std::string Path;
  TPathKind Answer = TPathKind::None;
  std::function<TPathKind(const std::string&)> Look;  // tests

  void Run() {
    std::unique_lock lock(Mutex);
    for (;;) {
      Changed.wait(lock, [&] { return HasRequest && !Answered; });
      const std::string path = Path;
      const auto look = Look;
      lock.unlock();
      const TPathKind kind = look ? look(path) : RealLook(path);
      lock.lock();
      Answer = kind;
      Answered = true;
      Changed.notify_all();
    }
  }
};

TProber& Prober() {
  static TProber* const prober = [] {
    auto* p = new TProber;  // never freed: its thread may outlive every caller
    std::thread([p] { p->Run(); }).detach();
    return p;
  }();
  return *prober;
}

}  // namespace

TPathKind ProbePath(const std::string& path, std::chrono::milliseconds limit) {
  TProber& prober = Prober();
  std::unique_lock lock(prober.Mutex);
  if (prober.HasRequest && !prober.Answered) return TPathKind::NoAnswer;  // an earlier one hangs
  prober.HasRequest = true;
  prober.Answered = false;
  prober.Path = path;
  prober.Changed.notify_all();
  if (!prober.Changed.wait_for(lock, limit, [&] { return prober.Answered; })) {
    return TPathKind::NoAnswer;
  }
  prober.HasRequest = false;
  return prober.Answer;
}

void SetPathLookForTests(std::function<TPathKind(const std::string&)> look) {
  TProber& prober = Prober();
  std::lock_guard lock(prober.Mutex);
  prober.Look = std::move(look);
}
