// The choice between the Linux change sources: the poll on file systems whose changes made
// elsewhere the kernel does not report, inotify everywhere else.
#pragma once

#include <memory>
#include <string>

#include "watcher/uDirChanges.h"
#include "watcher/uDirChangesPoll.h"

// The source that suits the folder: polling on such file systems, inotify elsewhere.
std::shared_ptr<TDirChanges> MakeChosenDirChanges(const std::string& folder);

// A source that makes that choice when it is opened, for callers that do not know the folder yet.
std::shared_ptr<TDirChanges> MakeChoosingDirChanges(TPollOptions options = {});
