#include "watcher/uDirChanges.h"

// Placeholder until the inotify source lands: opening always fails with ENOSYS.
namespace {
class TUnavailableDirChanges : public TQueuedDirChanges {
 public:
  int Open(const std::string&) override { return 38; }
};
}  // namespace

std::shared_ptr<TDirChanges> MakePlatformDirChanges() {
  return std::make_shared<TUnavailableDirChanges>();
}
