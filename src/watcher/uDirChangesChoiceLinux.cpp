#include <cerrno>
#include <mutex>

#include "watcher/uDirChangesChoice.h"
#include "watcher/uDirChangesLinux.h"

namespace {

class TChoosingDirChanges : public TDirChanges {
 public:
  explicit TChoosingDirChanges(TPollOptions options) : options_(std::move(options)) {}

  int Open(const std::string& folder) override {
    std::shared_ptr<TDirChanges> inner =
        IsRemoteFileSystem(folder) ? MakePollDirChanges(options_) : MakeInotifyDirChanges();
    bool stopped;
    {
      std::lock_guard lock(mutex_);
      if (inner_) return EBUSY;
      inner_ = inner;
      stopped = stopped_;
    }
    if (stopped) inner->Stop();
    return inner->Open(folder);
  }

  TReadResult Read(uint8_t* buffer, size_t size, uint32_t notifyFilter) override {
    std::shared_ptr<TDirChanges> inner;
    {
      std::lock_guard lock(mutex_);
      if (!inner_) {
        if (stopped_) return {TReadStatus::Stopped};
        return {TReadStatus::Failed, 0, EBADF};
      }
      inner = inner_;
    }
    return inner->Read(buffer, size, notifyFilter);
  }

  void Stop() override {
    std::shared_ptr<TDirChanges> inner;
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
      inner = inner_;
    }
    if (inner) inner->Stop();
  }

  std::string TakeNotice() override {
    std::shared_ptr<TDirChanges> inner;
    {
      std::lock_guard lock(mutex_);
      inner = inner_;
    }
    return inner ? inner->TakeNotice() : std::string();
  }

  void GoingAway() override {
    std::shared_ptr<TDirChanges> inner;
    {
      std::lock_guard lock(mutex_);
      inner = inner_;
    }
    if (inner) inner->GoingAway();
  }

 private:
  const TPollOptions options_;
  std::mutex mutex_;
  std::shared_ptr<TDirChanges> inner_;
  bool stopped_ = false;
};

}  // namespace

std::shared_ptr<TDirChanges> MakeChosenDirChanges(const std::string& folder) {
  return IsRemoteFileSystem(folder) ? MakePollDirChanges() : MakeInotifyDirChanges();
}

std::shared_ptr<TDirChanges> MakeChoosingDirChanges(TPollOptions options) {
  return std::make_shared<TChoosingDirChanges>(std::move(options));
}

std::shared_ptr<TDirChanges> MakePlatformDirChanges() {
  // Shares and FUSE folders are polled: the kernel does not report changes made elsewhere.
  return MakeChoosingDirChanges();
}
