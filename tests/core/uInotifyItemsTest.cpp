// The per-folder item table of the inotify source.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "watcher/uInotifyItems.h"

TEST(InotifyItems, KeysDependOnEveryByteAndAreNeverZero) {
  std::unordered_set<uint64_t> keys;
  const std::string names[] = {"",      "a",     "b",     "ab",    "ba",     "a.txt", "A.txt",
                               "a\xff", "a\xfe", "file1", "file2", "file10", "Отчёт"};
  for (const auto& name : names) {
    const uint64_t key = ItemKey(name);
    EXPECT_NE(key, 0u) << name;
    EXPECT_TRUE(keys.insert(key).second) << "collision for " << name;
    EXPECT_EQ(ItemKey(name), key);
  }
}

// Random inserts, replacements and erasures against a reference map: the backward-shift erase
// must never strand an entry behind a hole, and the table must shrink and grow without loss.
TEST(InotifyItems, AgreesWithAReferenceMap) {
  std::mt19937_64 random(12345);
  TInotifyItems table;
  std::unordered_map<uint64_t, uint64_t> reference;
  // Few distinct keys, many of them sharing home slots, so that probe runs are long and wrap.
  std::vector<uint64_t> pool;
  for (int i = 0; i < 3000; ++i) pool.push_back(ItemKey("name" + std::to_string(i)));
  for (int step = 0; step < 200000; ++step) {
    const uint64_t key = pool[random() % (step < 100000 ? pool.size() : 40)];
    switch (random() % 3) {
      case 0:
      case 1: {
        const uint64_t value = random();
        table.Set(key, value);
        reference[key] = value;
        break;
      }
      default:
        EXPECT_EQ(table.Erase(key), reference.erase(key) == 1);
    }
    if (step % 997 == 0) {
      ASSERT_EQ(table.Size(), reference.size());
      for (const auto& [k, v] : reference) {
        const uint64_t* found = table.Find(k);
        ASSERT_NE(found, nullptr);
        ASSERT_EQ(*found, v);
      }
    }
  }
  size_t visited = 0;
  table.ForEach([&](uint64_t k, uint64_t v) {
    ++visited;
    EXPECT_EQ(reference.at(k), v);
  });
  EXPECT_EQ(visited, reference.size());
  for (const auto& [k, v] : reference) EXPECT_TRUE(table.Erase(k));
  EXPECT_EQ(table.Size(), 0u);
  EXPECT_EQ(table.HeapBytes(), 0u);
  EXPECT_EQ(table.Find(pool[0]), nullptr);
}

TEST(InotifyItems, StaysSmallPerItem) {
  TInotifyItems table;
  constexpr size_t kCount = 100000;
  for (size_t i = 0; i < kCount; ++i) table.Set(ItemKey("file" + std::to_string(i) + ".dat"), i);
  EXPECT_EQ(table.Size(), kCount);
  // 16 bytes an entry at a load of at least 3/8.
  EXPECT_LE(table.HeapBytes() / kCount, 43u);
  // Emptied out, it gives the memory back.
  for (size_t i = 0; i + 10 < kCount; ++i)
    table.Erase(ItemKey("file" + std::to_string(i) + ".dat"));
  EXPECT_EQ(table.Size(), 10u);
  EXPECT_LE(table.HeapBytes(), 64u * 16u);
}
