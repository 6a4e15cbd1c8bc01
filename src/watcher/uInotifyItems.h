// What the inotify source remembers about the items of one watched folder: per name a 64-bit value
// (a file's last known size, or a subfolder's watch) and the item's inode number where it was
// learned. The entries are packed one after another in one block: a head byte, the name and its
// NUL (which no name holds), then the value and the inode number in as few bytes as each needs.
// A folder of a few items is searched from end to end; a bigger one keeps beside the block a hash
// table of the entries' places in it (4 bytes a slot), whose names tell apart names with one
// hash. So the usual folder of ten small files costs a hundred bytes or so, and one of a hundred
// thousand files a few megabytes.
//
// Invariants: every entry in the block up to `used_` is whole; an entry told gone (or moved to the
// end, its value or inode number grown) is marked dead and counted in `dead_` until the block is
// squeezed; the slots, where kept, hold the place of every live entry and of no dead one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// The hash of a name: never 0.
uint32_t ItemHash(std::string_view name);

class TInotifyItems {
 public:
  TInotifyItems() = default;
  ~TInotifyItems();
  TInotifyItems(TInotifyItems&& other) noexcept;
  TInotifyItems& operator=(TInotifyItems&& other) noexcept;
  TInotifyItems(const TInotifyItems&) = delete;
  TInotifyItems& operator=(const TInotifyItems&) = delete;

  // The value stored for the name, if any.
  std::optional<uint64_t> Find(std::string_view name) const;
  // Inserts or replaces. A new name's inode number is 0 (not known) until set.
  void Set(std::string_view name, uint64_t value);
  // Inserts or replaces both.
  void Set(std::string_view name, uint64_t value, uint64_t inode);
  // The inode number stored for the name; 0 when the name is absent or its number not known.
  uint64_t InodeOf(std::string_view name) const;
  // False when the name was not there.
  bool Erase(std::string_view name);
  void Clear();
  // Gives back what the block holds beyond its entries: once a folder was listed, most folders
  // change little.
  void Fit();

  size_t Size() const { return count_; }
  // Heap bytes held by the table.
  size_t HeapBytes() const {
    return capacity_ + (slots_ ? (size_t{mask_} + 1) * sizeof(uint32_t) : 0);
  }

  // Calls f(name, value) for every entry; f must not change the table.
  template <class F>
  void ForEach(F&& f) const {
    ForEachLive([&](uint32_t, const TEntry& entry) { f(entry.Name, entry.Value); });
  }

 private:
  struct TEntry {
    std::string_view Name;
    uint64_t Value = 0;
    uint64_t Inode = 0;
    uint32_t End = 0;  // where the next entry begins
    uint8_t ValueBytes = 0, InodeBytes = 0;
    bool Dead = false;
  };
  static constexpr uint32_t kAbsent = ~uint32_t{0};

  TEntry EntryAt(uint32_t at) const;
  // Calls f(place, entry) for every live entry, in the block's order.
  template <class F>
  void ForEachLive(F&& f) const {
    for (uint32_t at = 0; at < used_;) {
      const TEntry entry = EntryAt(at);
      if (!entry.Dead) f(at, entry);
      at = entry.End;
    }
  }
  // The place of the name's live entry, or kAbsent; with slots kept, `slot` gets its slot.
  uint32_t Locate(std::string_view name, size_t* slot = nullptr) const;
  bool NameIs(uint32_t at, std::string_view name) const;
  void Put(std::string_view name, uint64_t value, const uint64_t* inode);
  uint32_t Append(std::string_view name, uint64_t value, uint64_t inode);
  void Kill(uint32_t at);
  void Unslot(size_t slot);
  void Rehash(size_t capacity);  // a power of two above count_, or 0 for no slots
  void Squeeze();
  void Reallocate(size_t capacity);
  size_t Home(std::string_view name) const { return ItemHash(name) & mask_; }

  char* block_ = nullptr;
  uint32_t* slots_ = nullptr;  // an entry's place + 1; 0: empty
  uint32_t used_ = 0, capacity_ = 0, dead_ = 0;
  uint32_t count_ = 0;
  uint32_t mask_ = 0;  // slot capacity - 1 while slots are kept
};
