// The watcher targets decode and format records but never watch a folder, so they are linked
// without the platform's change source (whose file needs more than these targets build).
#include "watcher/uDirChanges.h"

std::shared_ptr<TDirChanges> MakePlatformDirChanges() {
  return nullptr;
}
