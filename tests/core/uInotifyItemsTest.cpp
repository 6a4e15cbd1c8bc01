// The per-folder item table of the inotify source.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "watcher/uInotifyItems.h"

namespace {

// Pairs of distinct names whose hashes are equal, found by brute force (a 32-bit hash meets
// itself within a few hundred thousand names).
std::vector<std::string> CollidingNames(size_t pairs) {
  std::vector<std::pair<uint32_t, std::string>> all;
  for (int i = 0; i < 400000; ++i) {
    std::string name = "n" + std::to_string(i);
    all.emplace_back(ItemHash(name), std::move(name));
  }
  std::sort(all.begin(), all.end());
  std::vector<std::string> out;
  for (size_t i = 1; i < all.size() && out.size() < 2 * pairs; ++i) {
    if (all[i].first == all[i - 1].first) {
      out.push_back(all[i - 1].second);
      out.push_back(all[i].second);
    }
  }
  return out;
}

}  // namespace

// Random inserts, replacements and erasures against a reference map, over a pool of names in which
// many share home slots and some share whole hashes: the backward-shift erase must never strand an
// entry behind a hole, names with one hash must never be taken for each other, and the table
// must shrink, grow and squeeze its names without loss, each name keeping its inode number (which
// a plain Set leaves alone and a new name starts without).
TEST(InotifyItems, AgreesWithAReferenceMap) {
  std::mt19937_64 random(12345);
  TInotifyItems table;
  std::map<std::string, uint64_t> reference;
  std::map<std::string, uint64_t> inodes;
  std::vector<std::string> pool = CollidingNames(10);
  ASSERT_EQ(pool.size(), 20u) << "too few colliding hashes found";
  for (int i = 0; i < 3000; ++i)
    pool.push_back("name" + std::to_string(i) + std::string(i % 40, 'x'));
  std::shuffle(pool.begin(), pool.end(), random);
  // The last stretch works on a few names that include a colliding pair.
  const std::vector<std::string> few = {pool[0], pool[1], pool[2], CollidingNames(1)[0],
                                        CollidingNames(1)[1]};
  for (int step = 0; step < 200000; ++step) {
    const std::string& name =
        step < 100000 ? pool[random() % pool.size()] : few[random() % few.size()];
    switch (random() % 4) {
      case 0: {
        const uint64_t value = random();
        table.Set(name, value);
        reference[name] = value;
        inodes.emplace(name, 0);
        break;
      }
      case 1: {
        const uint64_t value = random(), inode = random();
        table.Set(name, value, inode);
        reference[name] = value;
        inodes[name] = inode;
        break;
      }
      default:
        inodes.erase(name);
        EXPECT_EQ(table.Erase(name), reference.erase(name) == 1);
    }
    if (step % 997 == 0 || step >= 199990) {
      ASSERT_EQ(table.Size(), reference.size());
      for (const auto& [k, v] : reference) {
        const uint64_t* found = table.Find(k);
        ASSERT_NE(found, nullptr) << k;
        ASSERT_EQ(*found, v) << k;
        ASSERT_EQ(table.InodeOf(k), inodes.at(k)) << k;
      }
      for (const auto& k : few) {
        EXPECT_EQ(table.Find(k) != nullptr, reference.count(k) == 1);
        if (!reference.count(k)) {
          EXPECT_EQ(table.InodeOf(k), 0u);
        }
      }
    }
  }
  std::map<std::string, uint64_t> visited;
  table.ForEach([&](std::string_view k, uint64_t v) { visited.emplace(std::string(k), v); });
  EXPECT_EQ(visited, reference);
  for (const auto& [k, v] : reference) EXPECT_TRUE(table.Erase(k));
  EXPECT_EQ(table.Size(), 0u);
  EXPECT_EQ(table.HeapBytes(), 0u);
  EXPECT_EQ(table.Find(pool[0]), nullptr);
}

TEST(InotifyItems, StaysSmallPerItem) {
  TInotifyItems table;
  constexpr size_t kCount = 100000;
  const auto name = [](size_t i) { return "file" + std::to_string(i) + ".dat"; };
  size_t nameBytes = 0;
  for (size_t i = 0; i < kCount; ++i) {
    table.Set(name(i), i);
    nameBytes += name(i).size() + 1;
  }
  EXPECT_EQ(table.Size(), kCount);
  // 16 bytes a slot at a load of at least 3/8, and the names with their inode numbers, with room
  // to grow.
  EXPECT_LE(table.HeapBytes(), kCount * 43 + 2 * (nameBytes + kCount * 8));
  // Emptied out, it gives the memory back, names included.
  for (size_t i = 0; i + 10 < kCount; ++i) table.Erase(name(i));
  EXPECT_EQ(table.Size(), 10u);
  EXPECT_LE(table.HeapBytes(), 64u * 16u + 8192u);
  for (size_t i = kCount - 10; i < kCount; ++i) EXPECT_EQ(*table.Find(name(i)), i);
}
