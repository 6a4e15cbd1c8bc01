// The parts of a watched tree that are polled instead of watched: shares mounted inside the tree
// (the kernel does not report changes made elsewhere on them), and folders beyond the per-user
// watch limit. Each polled subtree is an item of a watched folder (its parent's watch and its name
// there), and has a number below kNoWatch that stands in the parent's table where a watch would.
// The polls run on a thread of their own (TSubtreePolls); what they bring waits in an inbox for
// the reading thread, which alone knows where each subtree is now and alone pushes records, so that
// they form one ordered stream.
//
// Invariants: a number in a table is a subtree polled now; a subtree whose folder leaves the tree
// (or whose parent is forgotten) stops being polled at once.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "watcher/uDirChangesPoll.h"
#include "watcher/uInotifyTree.h"

class TTreeFiles;

// What the polls of subtrees bring, waiting for the reading thread.
class TPollInbox {
 public:
  struct TDelivery {
    int Id;
    std::vector<TChangeRecord> Records;
    int Error;
  };
  TPollInbox();
  ~TPollInbox();
  TPollInbox(const TPollInbox&) = delete;
  TPollInbox& operator=(const TPollInbox&) = delete;
  // Readable while deliveries wait.
  int Fd() const { return fd_; }
  int Error() const { return error_; }
  void Deliver(int id, std::vector<TChangeRecord>& records, int error);
  std::vector<TDelivery> Take();

 private:
  int fd_;
  int error_;
  std::mutex mutex_;
  std::vector<TDelivery> waiting_;
};

// A subtree polled instead of watched.
struct TPolled {
  int Parent;
  std::string Name;
  bool Share;  // a share mounted there, rather than a folder beyond the watch limit
  ino_t Inode = 0;
  timespec Born{};  // 0 where the file system keeps no birth times
};

class TPolledParts {
 public:
  // `beforePoll`: tests; runs before a folder beyond the watch limit is first read for its poll.
  TPolledParts(const TTreeFiles& files, const TPollOptions& options,
               std::function<void(const std::string&)> beforePoll);
  int InboxFd() const { return inbox_->Fd(); }
  int InboxError() const { return inbox_->Error(); }

  // Polls the subfolder `name` of the folder watched as parentWd, whose relative path is
  // `relative`; its number, or kNoWatch when it cannot be read. With `contents`, what its first
  // scan found (see TSubtreePolls::Add).
  int Start(int parentWd, std::string_view name, const std::string& relative, bool share,
            TSubtreePolls::TContents* contents = nullptr);
  void Stop(int id);
  // The polls of the folder's subfolders.
  void StopIn(const TFolder& folder);
  void StopAll();
  // Stops the polling thread for good (any thread).
  void Shutdown() { polls_.Stop(); }
  bool Empty() const { return polled_.empty(); }
  bool BeyondLimit() const;
  TPolled* Find(int id);
  // A folder was renamed: the polls under it scan it at its new path.
  void Move(const TFolderTree& tree);
  std::vector<TPollInbox::TDelivery> Take() { return inbox_->Take(); }
  std::vector<TChangeRecord> Contents(int id) const { return polls_.Contents(id); }
  std::vector<std::pair<std::string, TFileSize>> FileSizes(int id) const {
    return polls_.FileSizes(id);
  }

 private:
  const TTreeFiles& files_;
  const std::function<void(const std::string&)> beforePoll_;
  const std::shared_ptr<TPollInbox> inbox_ = std::make_shared<TPollInbox>();
  TSubtreePolls polls_;
  std::unordered_map<int, TPolled> polled_;  // by poll number
  int next_ = kNoWatch - 1;
};

// Drops the watches of a folder that left the tree and of everything under it, and the polls in
// them.
void ForgetSubtree(TFolderTree& tree, TPolledParts& polls, int wd, int parentWd,
                   THeldFolders* held = nullptr);
// Lets go of the subfolder whose value in the table of the folder watched as parentWd is `value`:
// its poll, or its watch with everything under it.
void ForgetFolder(TFolderTree& tree, TPolledParts& polls, uint64_t value, int parentWd,
                  THeldFolders* held = nullptr);
