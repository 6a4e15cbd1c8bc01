// The Linux change sources.
#pragma once

#include <memory>

#include "watcher/uDirChanges.h"

// The inotify source: every folder of the tree watched, the kernel's queue drained by a thread of
// its own.
std::shared_ptr<TDirChanges> MakeInotifyDirChanges();
