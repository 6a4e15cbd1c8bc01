// The watched folder on disk: the calls the inotify source makes on items by their paths relative
// to it. A path too long for the system is walked name by name, so a tree of any depth can be
// looked at. No descriptor of the watched folder is kept open: it would hold the folder's entry,
// and the kernel would then tell of the folder's deletion only when we let go of it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <string_view>

class TTreeFiles {
 public:
  // `folder` is the folder text; a hand-edited one may lack the trailing separator or have several.
  void SetRoot(const std::string& folder);
  // The watched folder's path, without a separator at the end ("/" for the root of all).
  const std::string& Root() const { return root_; }
  // The same with one separator at the end: the prefix of every absolute path.
  const std::string& Prefix() const { return prefix_; }
  std::string Absolute(std::string_view relative) const { return prefix_ + std::string(relative); }

  // The folder at a relative path (O_PATH), walked name by name when its whole path is too long
  // for the system; -1 with errno.
  int OpenFolder(const std::string& relative) const;
  // lstat of the item at a relative path.
  bool Stat(const std::string& relative, struct stat& st) const;
  // The birth time of the item under the path, with the rest statx gives: 1 when found, 0 when the
  // item is not there, -1 when its folder could not be opened.
  int StatBirth(const std::string& relative, struct statx& sx) const;
  // True when the item under the path was made after `time` (a birth time), both known.
  bool BornAfter(const std::string& relative, const timespec& time) const;

 private:
  std::string root_;
  std::string prefix_;
};

// The birth time statx gave, or 0 where the file system keeps none.
timespec BirthOf(const struct statx& sx);
