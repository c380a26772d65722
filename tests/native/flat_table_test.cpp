// FlatTable: random inserts, finds and erases (also while walking the table) against std::unordered_map.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

#include "index/core/structures/shards/flat_table.hpp"

namespace vostrel {
namespace {

// A key type that owns memory (moves must carry it, erased slots must let it go) and collides a lot.
struct Key {
  std::shared_ptr<uint64_t> value;
  Key() = default;
  explicit Key(uint64_t v) : value(std::make_shared<uint64_t>(v)) {}
  bool operator==(const Key& other) const { return *value == *other.value; }
};
struct CollidingHash {
  uint64_t operator()(const Key& key) const { return *key.value % 97; }  // few homes: long probe runs
};
struct Equal {
  bool operator()(const Key& a, const Key& b) const { return a == b; }
};
using Table = FlatTable<Key, uint64_t, CollidingHash, Equal>;

void expect_same(const Table& table, const std::unordered_map<uint64_t, uint64_t>& model) {
  ASSERT_EQ(table.size(), model.size());
  std::map<uint64_t, uint64_t> walked;
  for (const auto& [key, value] : table) ASSERT_TRUE(walked.emplace(*key.value, value).second);
  const std::map<uint64_t, uint64_t> sorted_model(model.begin(), model.end());
  ASSERT_EQ(walked, sorted_model);
  for (const auto& [key, value] : model) {
    auto found = table.find(Key(key));
    ASSERT_NE(found, table.end());
    ASSERT_EQ(found->second, value);
  }
}

TEST(FlatTable, RandomOperationsMatchTheModel) {
  std::mt19937_64 rng(7);
  Table table(0, CollidingHash{});
  std::unordered_map<uint64_t, uint64_t> model;
  for (int round = 0; round < 40; ++round) {
    // Grow, then erase a random share while walking, then compact.
    for (int step = 0; step < 500; ++step) {
      const uint64_t key = rng() % 3000;
      const uint64_t value = rng();
      if (rng() % 2 == 0) {
        const bool made = table.emplace(Key(key), value).second;
        ASSERT_EQ(made, model.emplace(key, value).second);
      } else {
        table[Key(key)] = value;
        model[key] = value;
      }
      if (rng() % 5 == 0) {
        const uint64_t absent = 5000 + rng() % 100;
        ASSERT_EQ(table.find(Key(absent)), table.end());
      }
    }
    expect_same(table, model);
    const uint64_t share = rng() % 4;
    const size_t before = model.size();
    size_t seen = 0;
    size_t erased = 0;
    for (auto at = table.begin(); at != table.end();) {
      ++seen;
      if (rng() % 4 <= share) {
        model.erase(*at->first.value);
        at = table.erase(at);
        ++erased;
      } else {
        ++at;
      }
    }
    ASSERT_EQ(seen, before);  // erasing while walking visits every entry once
    ASSERT_EQ(model.size(), before - erased);
    expect_same(table, model);
    table.compact_if_sparse();
    expect_same(table, model);
    EXPECT_GE(table.capacity(), table.size());
  }
}

TEST(FlatTable, ErasedEntriesReleaseWhatTheyHeldAndEmptiedTablesShrink) {
  Table table(0, CollidingHash{});
  Key kept(1);
  std::vector<std::weak_ptr<uint64_t>> watched;
  for (uint64_t key = 0; key < 1000; ++key) {
    Key made(key);
    watched.push_back(made.value);
    table.emplace(made, key);
  }
  const size_t full_capacity = table.capacity();
  for (auto at = table.begin(); at != table.end();) at = table.erase(at);
  for (const auto& weak : watched) EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(table.empty());
  table.compact_if_sparse();
  EXPECT_LT(table.capacity(), full_capacity);
  table.emplace(kept, 5);
  EXPECT_EQ(table.find(Key(1))->second, 5u);
}

}  // namespace
}  // namespace vostrel
