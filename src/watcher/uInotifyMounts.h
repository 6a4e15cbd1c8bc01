// The mounts inside a watched tree, from the system's mount table (/proc/self/mountinfo), which
// tells of every mount and unmount anywhere: a share mounted inside the tree later is polled from
// then on, a local file system mounted there is watched. Without the mount table (no /proc),
// mounts stay as they were found.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A mount inside the watched tree: its mount point relative to the tree, and the mount's number.
using TMount = std::pair<std::string, std::string_view>;

// The mounts in a mount table whose mount points lie strictly inside `root` (a path without
// links), sorted: parents before children. They refer to `table`.
std::vector<TMount> MountsInside(std::string_view table, const std::string& root);

class TMountTable {
 public:
  TMountTable() = default;
  ~TMountTable();
  TMountTable(const TMountTable&) = delete;
  TMountTable& operator=(const TMountTable&) = delete;

  // Follows the mounts inside the folder at `root`; nothing when its real path or the mount table
  // cannot be had.
  void Open(const std::string& root);
  // Wakes with POLLPRI when the table changed; -1 when it is not followed.
  int Fd() const { return fd_; }
  // The table changed: the mount points inside the tree whose mount came, went or was replaced,
  // relative to the tree. Those of mounts that stayed are not given: a share that does not answer
  // would hold up the reader.
  std::vector<std::string> Changed();

 private:
  void Read();

  int fd_ = -1;
  std::string real_;   // the watched folder's path without links
  std::string table_;  // as last read
  std::vector<TMount> mounts_;
};
