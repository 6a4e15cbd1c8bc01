// The per-folder item table of the inotify source.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
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
// a plain Set leaves alone and a new name starts without). Values and inode numbers of every width
// make entries outgrow their place.
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
  // The last stretch works on a few names, a colliding pair among them, about as many as a table
  // holds when it keeps slots or searches from end to end; the others go first.
  std::vector<std::string> few(pool.begin(), pool.begin() + 22);
  few.insert(few.end(), {CollidingNames(1)[0], CollidingNames(1)[1]});
  // Any width from 0 to 8 bytes.
  const auto any = [&] { return random() >> (random() % 64) >> (random() % 2); };
  for (int step = 0; step < 200000; ++step) {
    if (step % 1000 == 500) table.Fit();
    for (auto it = reference.begin(); step == 100000 && it != reference.end();) {
      if (std::find(few.begin(), few.end(), it->first) != few.end()) {
        ++it;
        continue;
      }
      EXPECT_TRUE(table.Erase(it->first));
      inodes.erase(it->first);
      it = reference.erase(it);
    }
    const std::string& name =
        step < 100000 ? pool[random() % pool.size()] : few[random() % few.size()];
    switch (random() % 4) {
      case 0: {
        const uint64_t value = any();
        table.Set(name, value);
        reference[name] = value;
        inodes.emplace(name, 0);
        break;
      }
      case 1: {
        const uint64_t value = any(), inode = any();
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
        const std::optional<uint64_t> found = table.Find(k);
        ASSERT_TRUE(found) << k;
        ASSERT_EQ(*found, v) << k;
        ASSERT_EQ(table.InodeOf(k), inodes.at(k)) << k;
      }
      for (const auto& k : few) {
        EXPECT_EQ(table.Find(k).has_value(), reference.count(k) == 1);
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
  EXPECT_FALSE(table.Find(pool[0]));
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
  // 4 bytes a slot at a load of at least 3/8, and each name with its head and a value of up to 3
  // bytes, with room to grow; fitted, just the entries.
  EXPECT_LE(table.HeapBytes(), kCount * 11 + 3 * (nameBytes + kCount * 4) / 2);
  table.Fit();
  EXPECT_LE(table.HeapBytes(), kCount * 11 + nameBytes + kCount * 4);
  // Emptied out, it gives the memory back, names included.
  for (size_t i = 0; i + 10 < kCount; ++i) table.Erase(name(i));
  EXPECT_EQ(table.Size(), 10u);
  EXPECT_LE(table.HeapBytes(), 64 * 4 + 2 * 10 * (1 + 13 + 1 + 3));
  for (size_t i = kCount - 10; i < kCount; ++i) EXPECT_EQ(*table.Find(name(i)), i);
  // Ten empty files with inode numbers below 2^24, as most folders hold, fitted: a head, the name
  // and its NUL, and three bytes of inode number each.
  TInotifyItems small;
  for (uint64_t i = 0; i < 10; ++i) small.Set("f0" + std::to_string(i), 0, 1300000 + i);
  small.Fit();
  EXPECT_EQ(small.HeapBytes(), 10u * (1 + 3 + 1 + 3));
}
