// What the inotify source remembers about the items of one watched folder: per name a 64-bit key
// and a 64-bit value (a file's last known size, or a subfolder's watch). No name text is kept, so
// a folder of a hundred thousand files costs a few megabytes, not tens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

// The key of a name: a 64-bit hash of its bytes, never 0.
uint64_t ItemKey(std::string_view name);

// An open-addressing hash table of key -> value (linear probing, no tombstones).
class TInotifyItems {
 public:
  TInotifyItems() = default;
  TInotifyItems(TInotifyItems&&) noexcept = default;
  TInotifyItems& operator=(TInotifyItems&&) noexcept = default;

  // The value stored for the key, or null. The pointer is valid until the next Set or Erase.
  uint64_t* Find(uint64_t key);
  const uint64_t* Find(uint64_t key) const;
  // Inserts or replaces.
  void Set(uint64_t key, uint64_t value);
  // False when the key was not there.
  bool Erase(uint64_t key);
  void Clear();

  size_t Size() const { return count_; }
  // Heap bytes held by the table.
  size_t HeapBytes() const { return slots_ ? (size_t{mask_} + 1) * sizeof(TSlot) : 0; }

  // Calls f(key, value) for every entry; f must not change the table.
  template <class F>
  void ForEach(F&& f) const {
    if (!slots_) return;
    for (size_t i = 0; i <= mask_; ++i) {
      if (slots_[i].Key != 0) f(slots_[i].Key, slots_[i].Value);
    }
  }

 private:
  struct TSlot {
    uint64_t Key;  // 0: empty
    uint64_t Value;
  };
  size_t Home(uint64_t key) const { return static_cast<size_t>(key) & mask_; }
  void Grow();
  void Rehash(size_t capacity);  // capacity: a power of two above count_

  std::unique_ptr<TSlot[]> slots_;
  uint32_t mask_ = 0;  // capacity - 1 once allocated
  uint32_t count_ = 0;
};
