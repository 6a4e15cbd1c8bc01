#include "watcher/uDirChangesLinux.h"

#include <cerrno>

// Placeholder until the inotify source lands: opening always fails with ENOSYS.
namespace {
class TUnavailableDirChanges : public TQueuedDirChanges {
 public:
  int Open(const std::string&) override { return ENOSYS; }
};
}  // namespace

std::shared_ptr<TDirChanges> MakeInotifyDirChanges() {
  return std::make_shared<TUnavailableDirChanges>();
}

std::shared_ptr<TDirChanges> MakePlatformDirChanges() { return MakeInotifyDirChanges(); }
