#include "watcher/uInotifyItems.h"

#include <utility>

uint64_t ItemKey(std::string_view name) {
  // FNV-1a, then a 64-bit finaliser so that the low bits (the table's home slot) are well mixed.
  uint64_t h = 0xcbf29ce484222325ull;
  for (const char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ull;
  }
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return h == 0 ? 1 : h;
}

const uint64_t* TInotifyItems::Find(uint64_t key) const {
  if (!slots_) return nullptr;
  for (size_t i = Home(key);; i = (i + 1) & mask_) {
    if (slots_[i].Key == key) return &slots_[i].Value;
    if (slots_[i].Key == 0) return nullptr;
  }
}

uint64_t* TInotifyItems::Find(uint64_t key) {
  return const_cast<uint64_t*>(std::as_const(*this).Find(key));
}

void TInotifyItems::Set(uint64_t key, uint64_t value) {
  if (uint64_t* existing = Find(key)) {
    *existing = value;
    return;
  }
  // Keep the load at most 3/4 so that probes stay short.
  if (!slots_ || (size_t{count_} + 1) * 4 > (size_t{mask_} + 1) * 3) Grow();
  size_t i = Home(key);
  while (slots_[i].Key != 0) i = (i + 1) & mask_;
  slots_[i] = {key, value};
  ++count_;
}

bool TInotifyItems::Erase(uint64_t key) {
  if (!slots_) return false;
  size_t i = Home(key);
  while (slots_[i].Key != key) {
    if (slots_[i].Key == 0) return false;
    i = (i + 1) & mask_;
  }
  // Backward-shift deletion: move later members of the probe run into the hole so that no
  // lookup ever stops early at it.
  size_t hole = i;
  for (size_t j = (i + 1) & mask_; slots_[j].Key != 0; j = (j + 1) & mask_) {
    const size_t home = Home(slots_[j].Key);
    // j may move into the hole when its home is not cyclically inside (hole, j].
    const bool homeInRange = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!homeInRange) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = {0, 0};
  --count_;
  // Give memory back when a folder empties out.
  const size_t capacity = size_t{mask_} + 1;
  if (count_ == 0) {
    Clear();
  } else if (capacity > 16 && size_t{count_} * 8 < capacity) {
    Rehash(capacity / 4);
  }
  return true;
}

void TInotifyItems::Clear() {
  slots_.reset();
  mask_ = 0;
  count_ = 0;
}

void TInotifyItems::Grow() {
  Rehash(slots_ ? (size_t{mask_} + 1) * 2 : 4);
}

void TInotifyItems::Rehash(size_t capacity) {
  const size_t oldCapacity = slots_ ? size_t{mask_} + 1 : 0;
  std::unique_ptr<TSlot[]> old = std::move(slots_);
  slots_ = std::make_unique<TSlot[]>(capacity);  // value-initialised: all keys 0
  mask_ = static_cast<uint32_t>(capacity - 1);
  for (size_t k = 0; k < oldCapacity; ++k) {
    if (old[k].Key == 0) continue;
    size_t i = Home(old[k].Key);
    while (slots_[i].Key != 0) i = (i + 1) & mask_;
    slots_[i] = old[k];
  }
}
