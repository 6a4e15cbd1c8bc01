// What the inotify source remembers about the items of one watched folder: per name a 64-bit value
// (a file's last known size, or a subfolder's watch) and the item's inode number where it was
// learned. The names are kept once, packed one after another in one block, each followed by its
// inode number, and a slot holds a 32-bit hash and the name's place in that block, so a folder of
// a hundred thousand files costs a few megabytes, not tens; names whose hashes meet are still told
// apart by their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The hash of a name: never 0.
uint32_t ItemHash(std::string_view name);

// An open-addressing hash table of name -> value (linear probing, no tombstones).
class TInotifyItems {
 public:
  TInotifyItems() = default;
  TInotifyItems(TInotifyItems&&) noexcept = default;
  TInotifyItems& operator=(TInotifyItems&&) noexcept = default;

  // The value stored for the name, or null. The pointer is valid until the next Set or Erase.
  uint64_t* Find(std::string_view name);
  const uint64_t* Find(std::string_view name) const;
  // Inserts or replaces. A new name's inode number is 0 (not known) until SetInode.
  void Set(std::string_view name, uint64_t value);
  // Inserts or replaces both.
  void Set(std::string_view name, uint64_t value, uint64_t inode);
  // The inode number stored for the name; 0 when the name is absent or its number not known.
  uint64_t InodeOf(std::string_view name) const;
  // False when the name was not there.
  bool Erase(std::string_view name);
  void Clear();

  size_t Size() const { return count_; }
  // Heap bytes held by the table, names included.
  size_t HeapBytes() const {
    // A string's own small buffer is not on the heap.
    const size_t names = names_.capacity() > std::string().capacity() ? names_.capacity() + 1 : 0;
    return (slots_ ? (size_t{mask_} + 1) * sizeof(TSlot) : 0) + names;
  }

  // Calls f(name, value) for every entry; f must not change the table.
  template <class F>
  void ForEach(F&& f) const {
    if (!slots_) return;
    for (size_t i = 0; i <= mask_; ++i) {
      if (slots_[i].Hash != 0) f(NameAt(slots_[i].NameOff), slots_[i].Value);
    }
  }

 private:
  struct TSlot {
    uint32_t Hash;  // 0: empty
    uint32_t NameOff;
    uint64_t Value;
  };
  size_t Home(uint32_t hash) const { return hash & mask_; }
  // Names are stored each followed by a NUL, which no name holds, and then by 8 bytes of inode
  // number.
  static constexpr size_t kInodeBytes = sizeof(uint64_t);
  std::string_view NameAt(uint32_t offset) const { return names_.c_str() + offset; }
  void PutInode(size_t slot, std::string_view name, uint64_t inode);
  void Append(std::string_view name, uint64_t inode);
  void Put(std::string_view name, uint64_t value, const uint64_t* inode);
  size_t Slot(std::string_view name, uint32_t hash) const;  // the slot, or ~0 when absent
  void Grow();
  void Rehash(size_t capacity);  // capacity: a power of two above count_
  void Compact();

  std::unique_ptr<TSlot[]> slots_;
  uint32_t mask_ = 0;  // capacity - 1 once allocated
  uint32_t count_ = 0;
  std::string names_;
  size_t deadBytes_ = 0;  // bytes of erased names still in names_
};
