// The watch parameters: which changes the system reports to a watcher.
#pragma once

#include <cstdint>
#include <memory>

#include "watcher/uDirChanges.h"

class TFolderMonitor {
 public:
  // Names of files and folders, and sizes of files: creations, deletions, renames and size
  // changes. Attribute, time and security changes are not selected.
  uint32_t NotifyFilter = kNotifyFileName | kNotifyDirName | kNotifySize;  // 11
};

// The global watch parameters; every new watcher puts a fresh object in place of the old one.
// Both calls are safe from any thread.
std::shared_ptr<TFolderMonitor> FolderMonitor();
void ReplaceFolderMonitor();
