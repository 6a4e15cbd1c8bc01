// One read of the inotify instance, walked event by event. This is the only code that walks the
// buffer the kernel filled. Besides the walk it answers questions about the events after the one
// being handled ("does a later event of this read bring an item under this name?"): the tree may
// have changed again since an event was queued, and what is found on disk now is trusted only when
// the rest of the read does not say otherwise.
//
// Invariant: Offset() is the end of the event being handled (the start of the next one); every
// look-ahead question looks from there to the end of the read.
#pragma once

#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

// One event of a read.
struct TInotifyEvent {
  int Wd = -1;
  uint32_t Mask = 0;
  uint32_t Cookie = 0;
  std::string_view Name;  // empty for an event of the watched folder itself
  bool IsDir() const { return (Mask & IN_ISDIR) != 0; }
};

// The watches of our own barriers (see uInotifyEchoes.h), which a look-ahead counts rather than
// takes for news of the tree.
struct TBarrierWatches {
  int First = -1, Second = -1;
  bool Has(int wd) const { return wd >= 0 && (wd == First || wd == Second); }
};

// When the read being handled was made, by the clocks file times are compared with.
struct TReadTimes {
  timespec Opened{};     // when watching began, by the coarse clock (file times tick like it)
  timespec Before{};     // just before the read, coarse likewise
  timespec After{};      // just after the read, by the fine clock
  bool Drained = false;  // the read took everything the kernel had queued
  bool BeforeFirstRead = true;  // the tree is being read, and no read of events was made since
};

// True when `a` is earlier than `b`.
inline bool Earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The inode number stat found under a name, when it is the item that the events read so far leave
// there: what was there before the read being handled began (or before any read) has all its later
// news in that read or after it; what came after may be a later item under the name, whose news is
// still to come. 0 when it cannot be told.
inline uint64_t TrustedInode(const struct stat& st, const TReadTimes& times) {
  return times.BeforeFirstRead || Earlier(st.st_ctim, times.Before)
             ? static_cast<uint64_t>(st.st_ino)
             : 0;
}

class TEventCursor {
 public:
  // How far LeavesSoon looks ahead.
  static constexpr size_t kLookAhead = 16;

  // A new read of `size` bytes; the walk starts before its first event.
  void Reset(const char* buffer, size_t size);
  // The next event; false at the end of the read.
  bool Next(TInotifyEvent& event);
  size_t Offset() const { return offset_; }

  // True when one of the next `limit` events names the item with one of `how`.
  bool NamedAhead(int wd, std::string_view name, uint32_t how, size_t limit) const;
  // True when one of the next few events deletes or renames the item: a file that has already
  // gone cannot tell its size, so it is not asked. (A backlog of changes is mostly such.)
  bool LeavesSoon(int wd, std::string_view name, uint32_t how = IN_DELETE | IN_MOVED_FROM) const {
    return NamedAhead(wd, name, how, kLookAhead);
  }
  // True when any later event of the read names the item with one of `how`.
  bool NamedLater(int wd, std::string_view name, uint32_t how) const {
    return NamedAhead(wd, name, how, SIZE_MAX);
  }
  // True when a later event brings an item under the name (made there, IN_CREATE, or moved there,
  // IN_MOVED_TO): what is found there now may be that one. (Two keys alike only make it say so
  // needlessly.)
  bool TakenLater(int wd, std::string_view name, uint32_t how = IN_CREATE | IN_MOVED_TO) const;
  // The second half of the next rename of the item, when its first half comes before any deletion
  // of it and the second half follows at once.
  std::optional<TInotifyEvent> RenamedLater(int wd, std::string_view name) const;
  // True when an item comes under the name later in the read before `barriers` more barriers.
  bool ArrivesBefore(int wd, std::string_view name, uint64_t barriers,
                     TBarrierWatches watches) const;
  // How many of the later events are barriers, counting up to `most`.
  uint64_t BarriersAhead(TBarrierWatches watches, uint64_t most) const;

 private:
  // The event at `offset`, and the offset after it; false past the end.
  bool At(size_t& offset, TInotifyEvent& event) const;

  const char* buffer_ = nullptr;
  size_t size_ = 0;
  size_t offset_ = 0;
  // The read's arrivals by a hash of watch and name: where the last creation and the last move in
  // end; gathered at the first question about them.
  mutable std::unordered_map<uint64_t, std::pair<size_t, size_t>> arrivals_;
  mutable bool arrivalsGathered_ = false;
};
