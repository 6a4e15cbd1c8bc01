#include "uScriptedDirChanges.h"

#include "base/uPlatformText.h"

int TScriptedDirChanges::Open(const std::string& folder) {
  std::lock_guard lock(openMutex_);
  folder_ = folder;
  opened_ = openError_ == 0;
  return openError_;
}

std::string TScriptedDirChanges::OpenedFolder() const {
  std::lock_guard lock(openMutex_);
  return folder_;
}

bool TScriptedDirChanges::Opened() const {
  std::lock_guard lock(openMutex_);
  return opened_;
}

void TScriptedDirChanges::Play(uint32_t action, const std::u16string& name, bool isDir) {
  Push(TChangeRecord{action, name, isDir});
}

void TScriptedDirChanges::PlayNarrow(uint32_t action, const std::string& name, bool isDir) {
  Push(TChangeRecord{action, NarrowToUtf16(name), isDir});
}
