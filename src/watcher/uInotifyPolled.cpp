#include "watcher/uInotifyPolled.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "watcher/uInotifyFiles.h"

TPollInbox::TPollInbox()
    : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), error_(fd_ < 0 ? errno : 0) {}

TPollInbox::~TPollInbox() {
  if (fd_ >= 0) close(fd_);
}

void TPollInbox::Deliver(int id, std::vector<TChangeRecord>& records, int error) {
  {
    std::lock_guard lock(mutex_);
    waiting_.push_back({id, std::move(records), error});
  }
  const uint64_t one = 1;
  if (fd_ >= 0 && write(fd_, &one, sizeof one) < 0) return;
}

std::vector<TPollInbox::TDelivery> TPollInbox::Take() {
  uint64_t count;
  if (fd_ >= 0 && read(fd_, &count, sizeof count) < 0) count = 0;
  std::vector<TDelivery> out;
  std::lock_guard lock(mutex_);
  out.swap(waiting_);
  return out;
}

TPolledParts::TPolledParts(const TTreeFiles& files, const TPollOptions& options,
                           std::function<void(const std::string&)> beforePoll)
    : files_(files),
      beforePoll_(std::move(beforePoll)),
      polls_(options, [inbox = inbox_](int id, std::vector<TChangeRecord>& records, int error) {
        inbox->Deliver(id, records, error);
      }) {}

int TPolledParts::Start(int parentWd, std::string_view name, const std::string& relative,
                        bool share, TSubtreePolls::TContents* contents) {
  const int id = next_--;
  struct stat st;
  TPolled polled{parentWd, std::string(name), share,
                 files_.Stat(relative, st) ? st.st_ino : ino_t{0}};
  if (struct statx sx; files_.StatBirth(relative, sx) == 1) polled.Born = BirthOf(sx);
  polled_.emplace(id, std::move(polled));
  if (!share && beforePoll_) beforePoll_(relative);
  if (polls_.Add(id, files_.Absolute(relative), contents) != 0) {
    polled_.erase(id);
    return kNoWatch;
  }
  return id;
}

void TPolledParts::Stop(int id) {
  polls_.Remove(id);
  polled_.erase(id);
}

void TPolledParts::StopIn(const TFolder& folder) {
  if (polled_.empty()) return;
  folder.Items.ForEach([&](std::string_view, uint64_t value) {
    if (IsDirValue(value) && IsPoll(WatchOf(value))) Stop(WatchOf(value));
  });
}

void TPolledParts::StopAll() {
  for (const auto& [id, polled] : polled_) polls_.Remove(id);
  polled_.clear();
}

bool TPolledParts::BeyondLimit() const {
  return std::any_of(polled_.begin(), polled_.end(),
                     [](const auto& one) { return !one.second.Share; });
}

TPolled* TPolledParts::Find(int id) {
  const auto it = polled_.find(id);
  return it == polled_.end() ? nullptr : &it->second;
}

void TPolledParts::Move(const TFolderTree& tree) {
  for (const auto& [id, polled] : polled_) {
    polls_.Move(id, files_.Absolute(tree.ItemPath(polled.Parent, polled.Name)));
  }
}

void ForgetSubtree(TFolderTree& tree, TPolledParts& polls, int wd, int parentWd,
                   THeldFolders* held) {
  tree.ForgetSubtree(
      wd, parentWd, [&](const TFolder& folder) { polls.StopIn(folder); }, held);
}

void ForgetFolder(TFolderTree& tree, TPolledParts& polls, uint64_t value, int parentWd,
                  THeldFolders* held) {
  const int old = WatchOf(value);
  if (IsPoll(old)) polls.Stop(old);
  if (old >= 0) ForgetSubtree(tree, polls, old, parentWd, held);
}
