#include "base/uPathProbe.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/uPlatformText.h"

namespace {

TPathKind RealLook(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return TPathKind::None;
  std::error_code error;
  const auto status = std::filesystem::status(PlatformPath(path), error);
  if (error || !std::filesystem::exists(status)) return TPathKind::None;
  return std::filesystem::is_directory(status) ? TPathKind::Folder : TPathKind::File;
}

// One look, shared by the caller that may stop waiting and the helper that may never end.
struct TLook {
  std::mutex Mutex;
  std::condition_variable Done;
  bool Answered = false;
  TPathKind Answer = TPathKind::None;
};

std::mutex gTestLookMutex;
std::function<TPathKind(const std::string&)> gTestLook;

// Looks that have not ended yet, hung ones included.
std::atomic<int> gOutstanding{0};

}  // namespace

TPathKind ProbePath(const std::string& path, std::chrono::milliseconds limit) {
  // Each look has a helper of its own, so one hung on a dead share holds up no other. Only the
  // number of hung helpers is bounded.
  if (gOutstanding.fetch_add(1) >= kMaxOutstandingLooks) {
    gOutstanding.fetch_sub(1);
    return TPathKind::NoAnswer;
  }
  std::function<TPathKind(const std::string&)> testLook;
  {
    std::lock_guard lock(gTestLookMutex);
    testLook = gTestLook;
  }
  auto look = std::make_shared<TLook>();
  try {
    // Detached: a look that hangs must not hold up the program's end.
    std::thread([look, path, testLook = std::move(testLook)] {
      const TPathKind kind = testLook ? testLook(path) : RealLook(path);
      {
        std::lock_guard lock(look->Mutex);
        look->Answer = kind;
        look->Answered = true;
      }
      look->Done.notify_all();
      gOutstanding.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    gOutstanding.fetch_sub(1);
    return TPathKind::NoAnswer;
  }
  std::unique_lock lock(look->Mutex);
  if (!look->Done.wait_for(lock, limit, [&] { return look->Answered; })) return TPathKind::NoAnswer;
  return look->Answer;
}

void SetPathLookForTests(std::function<TPathKind(const std::string&)> look) {
  std::lock_guard lock(gTestLookMutex);
  gTestLook = std::move(look);
}
