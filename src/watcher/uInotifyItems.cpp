#include "watcher/uInotifyItems.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// A folder of up to this many items is searched from end to end; past it, slots are kept, and
// they go again once it holds half as many.
constexpr uint32_t kLinearMost = 16;

// The head byte: how many bytes the value and the inode number take (0-6, or 7 for 8), and
// whether the entry is dead.
constexpr unsigned kInodeShift = 3;
constexpr unsigned char kWidthMask = 7;
constexpr unsigned char kDead = 0x40;

unsigned BytesFor(uint64_t v) {
  unsigned n = 0;
  for (; v != 0; v >>= 8) ++n;
  return n == 7 ? 8 : n;
}
unsigned WidthOf(unsigned code) {
  return code == 7 ? 8 : code;
}
unsigned CodeOf(unsigned bytes) {
  return bytes == 8 ? 7 : bytes;
}

void Store(char* at, uint64_t v, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) at[i] = static_cast<char>(v >> (8 * i));
}
uint64_t Load(const char* at, unsigned bytes) {
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v |= uint64_t{static_cast<unsigned char>(at[i])} << (8 * i);
  return v;
}

// Writes an entry at `to` with the given widths; returns where the next one begins.
char* WriteEntry(char* to, std::string_view name, uint64_t value, unsigned valueBytes,
                 uint64_t inode, unsigned inodeBytes) {
  *to++ = static_cast<char>(CodeOf(valueBytes) | (CodeOf(inodeBytes) << kInodeShift));
  std::memcpy(to, name.data(), name.size());
  to += name.size();
  *to++ = '\0';
  Store(to, value, valueBytes);
  Store(to + valueBytes, inode, inodeBytes);
  return to + valueBytes + inodeBytes;
}

size_t EntrySize(std::string_view name, uint64_t value, uint64_t inode) {
  return 2 + name.size() + BytesFor(value) + BytesFor(inode);
}

}  // namespace

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

TInotifyItems::~TInotifyItems() {
  Clear();
}

TInotifyItems::TInotifyItems(TInotifyItems&& other) noexcept {
  *this = std::move(other);
}

TInotifyItems& TInotifyItems::operator=(TInotifyItems&& other) noexcept {
  if (this == &other) return *this;
  Clear();
  block_ = std::exchange(other.block_, nullptr);
  slots_ = std::exchange(other.slots_, nullptr);
  used_ = std::exchange(other.used_, 0);
  capacity_ = std::exchange(other.capacity_, 0);
  dead_ = std::exchange(other.dead_, 0);
  count_ = std::exchange(other.count_, 0);
  mask_ = std::exchange(other.mask_, 0);
  return *this;
}

TInotifyItems::TEntry TInotifyItems::EntryAt(uint32_t at) const {
  TEntry entry;
  const auto head = static_cast<unsigned char>(block_[at]);
  entry.Dead = (head & kDead) != 0;
  entry.ValueBytes = static_cast<uint8_t>(WidthOf(head & kWidthMask));
  entry.InodeBytes = static_cast<uint8_t>(WidthOf((head >> kInodeShift) & kWidthMask));
  entry.Name = block_ + at + 1;
  const char* value = entry.Name.data() + entry.Name.size() + 1;
  entry.Value = Load(value, entry.ValueBytes);
  entry.Inode = Load(value + entry.ValueBytes, entry.InodeBytes);
  entry.End = static_cast<uint32_t>(value + entry.ValueBytes + entry.InodeBytes - block_);
  return entry;
}

bool TInotifyItems::NameIs(uint32_t at, std::string_view name) const {
  // strncmp stops at the entry's NUL, so nothing past the entry is read.
  const char* stored = block_ + at + 1;
  return std::strncmp(stored, name.data(), name.size()) == 0 && stored[name.size()] == '\0';
}

uint32_t TInotifyItems::Locate(std::string_view name, size_t* slot) const {
  if (slots_) {
    for (size_t i = Home(name);; i = (i + 1) & mask_) {
      if (slots_[i] == 0) return kAbsent;
      if (NameIs(slots_[i] - 1, name)) {
        if (slot) *slot = i;
        return slots_[i] - 1;
      }
    }
  }
  for (uint32_t at = 0; at < used_;) {
    const TEntry entry = EntryAt(at);
    if (!entry.Dead && entry.Name == name) return at;
    at = entry.End;
  }
  return kAbsent;
}

std::optional<uint64_t> TInotifyItems::Find(std::string_view name) const {
  const uint32_t at = Locate(name);
  if (at == kAbsent) return std::nullopt;
  return EntryAt(at).Value;
}

uint64_t TInotifyItems::InodeOf(std::string_view name) const {
  const uint32_t at = Locate(name);
  return at == kAbsent ? 0 : EntryAt(at).Inode;
}

void TInotifyItems::Set(std::string_view name, uint64_t value) {
  Put(name, value, nullptr);
}

void TInotifyItems::Set(std::string_view name, uint64_t value, uint64_t inode) {
  Put(name, value, &inode);
}

void TInotifyItems::Put(std::string_view name, uint64_t value, const uint64_t* inode) {
  // A name read from this very block would move with it.
  std::string copy;
  if (block_ && name.data() >= block_ && name.data() < block_ + capacity_) {
    copy.assign(name);
    name = copy;
  }
  size_t slot = 0;
  const uint32_t at = Locate(name, &slot);
  if (at != kAbsent) {
    const TEntry entry = EntryAt(at);
    const uint64_t newInode = inode ? *inode : entry.Inode;
    if (BytesFor(value) <= entry.ValueBytes && BytesFor(newInode) <= entry.InodeBytes) {
      char* stored = block_ + at + 1 + entry.Name.size() + 1;
      Store(stored, value, entry.ValueBytes);
      Store(stored + entry.ValueBytes, newInode, entry.InodeBytes);
      return;
    }
    // Grown out of its place: it goes to the end.
    const uint32_t moved = Append(name, value, newInode);
    Kill(at);
    if (slots_) slots_[slot] = moved + 1;
    if (dead_ * 2 > used_) Squeeze();
    return;
  }
  const uint32_t added = Append(name, value, inode ? *inode : 0);
  ++count_;
  if (slots_ && size_t{count_} * 4 <= (size_t{mask_} + 1) * 3) {
    size_t i = Home(name);
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = added + 1;
  } else if (slots_) {
    Rehash((size_t{mask_} + 1) * 2);
  } else if (count_ > kLinearMost) {
    Rehash(size_t{kLinearMost} * 2);
  }
}

uint32_t TInotifyItems::Append(std::string_view name, uint64_t value, uint64_t inode) {
  const size_t size = EntrySize(name, value, inode);
  if (size_t{used_} + size > std::numeric_limits<uint32_t>::max()) throw std::length_error("items");
  if (used_ + size > capacity_) {
    Reallocate(std::max<size_t>({used_ + size, size_t{capacity_} + capacity_ / 2, 32}));
  }
  const uint32_t at = used_;
  WriteEntry(block_ + at, name, value, BytesFor(value), inode, BytesFor(inode));
  used_ += static_cast<uint32_t>(size);
  return at;
}

void TInotifyItems::Kill(uint32_t at) {
  block_[at] = static_cast<char>(block_[at] | kDead);
  dead_ += EntryAt(at).End - at;
}

bool TInotifyItems::Erase(std::string_view name) {
  size_t slot = 0;
  const uint32_t at = Locate(name, &slot);
  if (at == kAbsent) return false;
  Kill(at);
  --count_;
  if (slots_) Unslot(slot);
  // Give memory back when a folder empties out.
  if (count_ == 0) {
    Clear();
    return true;
  }
  if (slots_ && count_ <= kLinearMost / 2) {
    Rehash(0);
  } else if (slots_ && mask_ + 1 > 64 && size_t{count_} * 8 < size_t{mask_} + 1) {
    Rehash((size_t{mask_} + 1) / 4);
  }
  if (dead_ * 2 > used_) Squeeze();
  return true;
}

// Backward-shift deletion: later members of the probe run move into the hole, so that no lookup
// ever stops early at it.
void TInotifyItems::Unslot(size_t slot) {
  size_t hole = slot;
  for (size_t j = (slot + 1) & mask_; slots_[j] != 0; j = (j + 1) & mask_) {
    const size_t home = Home(block_ + slots_[j]);
    // j may move into the hole when its home is not cyclically inside (hole, j].
    const bool homeInRange = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!homeInRange) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = 0;
}

void TInotifyItems::Clear() {
  std::free(block_);
  std::free(slots_);
  block_ = nullptr;
  slots_ = nullptr;
  used_ = capacity_ = dead_ = count_ = mask_ = 0;
}

void TInotifyItems::Fit() {
  if (count_ == 0) {
    Clear();
  } else if (dead_ != 0 || capacity_ > used_) {
    Squeeze();
  }
}

void TInotifyItems::Rehash(size_t capacity) {
  std::free(slots_);
  slots_ = nullptr;
  mask_ = 0;
  if (capacity == 0) return;
  slots_ = static_cast<uint32_t*>(std::calloc(capacity, sizeof(uint32_t)));
  if (!slots_) throw std::bad_alloc();
  mask_ = static_cast<uint32_t>(capacity - 1);
  ForEachLive([&](uint32_t at, const TEntry& entry) {
    size_t i = Home(entry.Name);
    while (slots_[i] != 0) i = (i + 1) & mask_;
    slots_[i] = at + 1;
  });
}

// Dead entries are squeezed out and the others written again in as few bytes as they need, in a
// block just big enough.
void TInotifyItems::Squeeze() {
  size_t needed = 0;
  ForEachLive([&](uint32_t, const TEntry& entry) {
    needed += EntrySize(entry.Name, entry.Value, entry.Inode);
  });
  char* packed = static_cast<char*>(std::malloc(std::max<size_t>(needed, 1)));
  if (!packed) throw std::bad_alloc();
  char* to = packed;
  ForEachLive([&](uint32_t, const TEntry& entry) {
    to = WriteEntry(to, entry.Name, entry.Value, BytesFor(entry.Value), entry.Inode,
                    BytesFor(entry.Inode));
  });
  std::free(block_);
  block_ = packed;
  used_ = static_cast<uint32_t>(needed);
  capacity_ = static_cast<uint32_t>(needed);
  dead_ = 0;
  if (slots_) Rehash(size_t{mask_} + 1);
}

void TInotifyItems::Reallocate(size_t capacity) {
  char* grown = static_cast<char*>(std::realloc(block_, capacity));
  if (!grown) throw std::bad_alloc();
  block_ = grown;
  capacity_ = static_cast<uint32_t>(capacity);
}
