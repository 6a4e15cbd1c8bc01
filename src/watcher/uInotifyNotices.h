// What the inotify source tells the user once per watch when a system limit leaves part of the
// tree unwatched: which limit it is, as much as is known of its value, what is done instead, and
// how to raise it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The per-user limits on inotify watches; 0 where not known. The one in force is the lower:
// fs.inotify.max_user_watches is the system's, user.max_inotify_watches that of the user
// namespace the program runs in (lower in a container, for one).
struct TWatchLimits {
  uint64_t System = 0;  // /proc/sys/fs/inotify/max_user_watches
  uint64_t User = 0;    // /proc/sys/user/max_inotify_watches
};
TWatchLimits ReadWatchLimits();

// The watch limit was reached: `unwatched` folders are polled instead.
std::string WatchLimitNotice(size_t unwatched, const TWatchLimits& limits);
// The kernel had no memory for more watches: `unwatched` folders are polled instead.
std::string WatchMemoryNotice(size_t unwatched);
// The process ran out of file descriptors (its limit `limit`, 0 when not known): `waiting` folders
// could not be opened yet and are taken in as soon as descriptors are free again.
std::string DescriptorNotice(size_t waiting, uint64_t limit);
