#include "watcher/uFolderMonitor.h"

#include <mutex>

namespace {
std::mutex gMutex;
std::shared_ptr<TFolderMonitor> gMonitor;
}  // namespace

std::shared_ptr<TFolderMonitor> FolderMonitor() {
  std::lock_guard lock(gMutex);
  if (!gMonitor) gMonitor = std::make_shared<TFolderMonitor>();
  return gMonitor;
}

void ReplaceFolderMonitor() {
  auto fresh = std::make_shared<TFolderMonitor>();
  std::lock_guard lock(gMutex);
  gMonitor = std::move(fresh);
}
