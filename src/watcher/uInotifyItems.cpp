#include "watcher/uInotifyItems.h"

#include <cstring>
#include <utility>

uint32_t ItemHash(std::string_view name) {
  // FNV-1a, then a 64-bit finaliser so that the low bits (the table's home slot) are well mixed.
  uint64_t h = 0xcbf29ce484222325ull;
  for (const char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ull;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  const auto folded = static_cast<uint32_t>(h ^ (h >> 32));
  return folded == 0 ? 1 : folded;
}

size_t TInotifyItems::Slot(std::string_view name, uint32_t hash) const {
  if (!slots_) return ~size_t{0};
  for (size_t i = Home(hash);; i = (i + 1) & mask_) {
    if (slots_[i].Hash == 0) return ~size_t{0};
    if (slots_[i].Hash == hash && NameAt(slots_[i].NameOff) == name) return i;
  }
}

const uint64_t* TInotifyItems::Find(std::string_view name) const {
  const size_t i = Slot(name, ItemHash(name));
  return i == ~size_t{0} ? nullptr : &slots_[i].Value;
}

uint64_t* TInotifyItems::Find(std::string_view name) {
  return const_cast<uint64_t*>(std::as_const(*this).Find(name));
}

uint64_t TInotifyItems::InodeOf(std::string_view name) const {
  const size_t i = Slot(name, ItemHash(name));
  if (i == ~size_t{0}) return 0;
  uint64_t inode;
  std::memcpy(&inode, names_.data() + slots_[i].NameOff + name.size() + 1, kInodeBytes);
  return inode;
}

void TInotifyItems::PutInode(size_t slot, std::string_view name, uint64_t inode) {
  std::memcpy(names_.data() + slots_[slot].NameOff + name.size() + 1, &inode, kInodeBytes);
}

void TInotifyItems::Append(std::string_view name, uint64_t inode) {
  names_.append(name).push_back('\0');
  names_.append(reinterpret_cast<const char*>(&inode), kInodeBytes);
}

void TInotifyItems::Set(std::string_view name, uint64_t value) {
  Put(name, value, nullptr);
}

void TInotifyItems::Set(std::string_view name, uint64_t value, uint64_t inode) {
  Put(name, value, &inode);
}

void TInotifyItems::Put(std::string_view name, uint64_t value, const uint64_t* inode) {
  const uint32_t hash = ItemHash(name);
  if (const size_t at = Slot(name, hash); at != ~size_t{0}) {
    slots_[at].Value = value;
    if (inode) PutInode(at, name, *inode);
    return;
  }
  // Keep the load at most 3/4 so that probes stay short.
  if (!slots_ || (size_t{count_} + 1) * 4 > (size_t{mask_} + 1) * 3) Grow();
  size_t i = Home(hash);
  while (slots_[i].Hash != 0) i = (i + 1) & mask_;
  slots_[i] = {hash, static_cast<uint32_t>(names_.size()), value};
  Append(name, inode ? *inode : 0);
  ++count_;
}

bool TInotifyItems::Erase(std::string_view name) {
  size_t i = Slot(name, ItemHash(name));
  if (i == ~size_t{0}) return false;
  deadBytes_ += name.size() + 1 + kInodeBytes;
  // Backward-shift deletion: move later members of the probe run into the hole so that no
  // lookup ever stops early at it.
  size_t hole = i;
  for (size_t j = (i + 1) & mask_; slots_[j].Hash != 0; j = (j + 1) & mask_) {
    const size_t home = Home(slots_[j].Hash);
    // j may move into the hole when its home is not cyclically inside (hole, j].
    const bool homeInRange = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!homeInRange) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = {0, 0, 0};
  --count_;
  // Give memory back when a folder empties out.
  const size_t capacity = size_t{mask_} + 1;
  if (count_ == 0) {
    Clear();
  } else if (capacity > 16 && size_t{count_} * 8 < capacity) {
    Rehash(capacity / 4);
  }
  if (deadBytes_ > 4096 && deadBytes_ * 2 > names_.size()) Compact();
  return true;
}

void TInotifyItems::Clear() {
  slots_.reset();
  mask_ = 0;
  count_ = 0;
  std::string().swap(names_);
  deadBytes_ = 0;
}

void TInotifyItems::Grow() {
  Rehash(slots_ ? (size_t{mask_} + 1) * 2 : 4);
}

void TInotifyItems::Rehash(size_t capacity) {
  const size_t oldCapacity = slots_ ? size_t{mask_} + 1 : 0;
  std::unique_ptr<TSlot[]> old = std::move(slots_);
  slots_ = std::make_unique<TSlot[]>(capacity);  // value-initialised: all empty
  mask_ = static_cast<uint32_t>(capacity - 1);
  for (size_t k = 0; k < oldCapacity; ++k) {
    if (old[k].Hash == 0) continue;
    size_t i = Home(old[k].Hash);
    while (slots_[i].Hash != 0) i = (i + 1) & mask_;
    slots_[i] = old[k];
  }
}

// Erased names leave holes in the block of names; past half of it they are squeezed out.
void TInotifyItems::Compact() {
  std::string packed;
  packed.reserve(names_.size() - deadBytes_);
  for (size_t i = 0; i <= mask_; ++i) {
    if (slots_[i].Hash == 0) continue;
    const std::string_view name = NameAt(slots_[i].NameOff);
    const size_t from = slots_[i].NameOff;
    slots_[i].NameOff = static_cast<uint32_t>(packed.size());
    packed.append(names_, from, name.size() + 1 + kInodeBytes);
  }
  names_ = std::move(packed);
  deadBytes_ = 0;
}
