// Map with keys of its own: edge cases around the hash index, random inserts against std::map with a live-instance-counting
// value (leaks and double destruction show), wide maps, copies and the size of the block.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "index/core/structures/shaped_map/hybrid_hashmap.hpp"

#include "counted.hpp"

namespace vostrel {
namespace {

using testing::Counted;

using CountedMap = HybridHashmap<uint32_t, Counted>;

std::vector<std::pair<uint32_t, int>> entries(const CountedMap& map) {
  std::vector<std::pair<uint32_t, int>> out;
  map.for_each([&](const uint32_t& key, const Counted& value) { out.emplace_back(key, value.value); });
  return out;
}

TEST(HybridHashmap, EdgesAroundTheIndexAndInsertionOrder) {
  {
    CountedMap map;
    EXPECT_EQ(map.len(), 0u);
    EXPECT_EQ(map.heap_bytes(), 0u) << "an empty map allocates nothing";
    EXPECT_TRUE(entries(map).empty());
    EXPECT_EQ(map.get(3), nullptr);

    // Past a multiple of four, so the scan's tail is met too.
    const uint32_t keys[10] = {40, 3, 17, 0, 99, 5, 1000000, 8, 4000000000u, 77};
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(map.insert(keys[i], Counted(i)).has_value());
    EXPECT_EQ(map.len(), 10u);
    EXPECT_EQ(Counted::live, 10);

    // Replacing keeps the key's place and hands back the old value.
    std::optional<Counted> old = map.insert(17, Counted(70));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->value, 2);
    old.reset();
    std::vector<std::pair<uint32_t, int>> expected = {{40, 0}, {3, 1},       {17, 70},         {0, 3},  {99, 4},
                                                      {5, 5},  {1000000, 6}, {8, 7}, {4000000000u, 8}, {77, 9}};
    EXPECT_EQ(entries(map), expected);
    EXPECT_EQ(Counted::live, 10);
    for (auto [key, value] : expected) EXPECT_EQ(map.get(key)->value, value) << key;

    // Key 33 brings the hash index; every key is still found and the order is still first insertion.
    for (int i = 10; i < 33; ++i) {
      EXPECT_FALSE(map.insert(static_cast<uint32_t>(500 + i), Counted(i)).has_value());
      expected.emplace_back(500 + i, i);
    }
    EXPECT_EQ(map.len(), 33u);
    EXPECT_EQ(Counted::live, 33) << "growing the block neither leaks nor drops values";
    for (auto [key, value] : expected) {
      ASSERT_NE(map.get(key), nullptr) << key;
      EXPECT_EQ(map.get(key)->value, value);
    }
    EXPECT_EQ(entries(map), expected);
    EXPECT_EQ(map.get(13), nullptr);
  }
  EXPECT_EQ(Counted::live, 0);
}

// Maps wide enough for 2- and 4-byte index slots, with keys that mostly differ only in their high bits.
TEST(HybridHashmap, WideMapsFindEveryKey) {
  auto key_of = [](uint32_t i) { return (i << 16) | (i >> 16); };
  for (uint32_t size : {200u, 300u, 70000u}) {
    {
      CountedMap map;
      for (uint32_t i = 0; i < size; ++i) map.insert(key_of(i), Counted(static_cast<int>(i)));
      ASSERT_EQ(map.len(), size);
      for (uint32_t i = 0; i < size; ++i) {
        ASSERT_NE(map.get(key_of(i)), nullptr) << i;
        ASSERT_EQ(map.get(key_of(i))->value, static_cast<int>(i));
      }
      EXPECT_EQ(map.get(2), nullptr);
      EXPECT_EQ(map.get(key_of(size)), nullptr);
      uint32_t expected = 0;
      map.for_each([&](const uint32_t& key, const Counted&) { EXPECT_EQ(key, key_of(expected++)); });
    }
    EXPECT_EQ(Counted::live, 0);
  }
}

// A reserved map takes its one block at once and keeps it while it fills: keys, values and a small index only.
TEST(HybridHashmap, ReservedBlockHoldsEntriesWithoutPerEntryCost) {
  CountedMap map;
  map.reserve(20);
  const size_t reserved = map.heap_bytes();
  for (uint32_t i = 0; i < 20; ++i) map.insert(i * 7, Counted(1));
  EXPECT_EQ(map.heap_bytes(), reserved) << "no second allocation while filling a reserved map";
  EXPECT_LE(reserved, 20 * (sizeof(uint32_t) + sizeof(Counted)) + 64 + 8) << "a one-byte slot index at most";
}

// Random inserts against std::map plus first-insertion order, for maps that stay small and maps that switch.
TEST(HybridHashmap, MatchesModelOnRandomInserts) {
  std::mt19937 rng(31337);
  for (int round = 0; round < 300; ++round) {
    const uint32_t key_range = 1 + rng() % 48;  // ranges up to 32 never need the index
    const int ops = 1 + static_cast<int>(rng() % 120);
    {
      CountedMap map;
      std::map<uint32_t, int> model;
      std::vector<uint32_t> first_order;
      for (int op = 0; op < ops; ++op) {
        uint32_t key = rng() % key_range * 2654435761u;  // spread keys, include 0
        int value = static_cast<int>(rng() % 1000);
        auto found = model.find(key);
        std::optional<Counted> replaced = map.insert(key, Counted(value));
        if (found == model.end()) {
          ASSERT_FALSE(replaced.has_value());
          first_order.push_back(key);
          model.emplace(key, value);
        } else {
          ASSERT_TRUE(replaced.has_value());
          ASSERT_EQ(replaced->value, found->second) << "the replaced value is the old one";
          found->second = value;
        }
        replaced.reset();
        ASSERT_EQ(map.len(), model.size());
        ASSERT_EQ(Counted::live, static_cast<int>(model.size()));
      }
      for (uint32_t probe = 0; probe < key_range + 2; ++probe) {
        uint32_t key = probe * 2654435761u;
        auto it = model.find(key);
        const CountedMap& const_map = map;
        if (it == model.end()) {
          ASSERT_EQ(const_map.get(key), nullptr);
        } else {
          ASSERT_EQ(const_map.get(key)->value, it->second);
        }
      }
      auto got = entries(map);
      ASSERT_EQ(got.size(), first_order.size());
      for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i].first, first_order[i]) << "first-insertion order";
      std::sort(got.begin(), got.end());
      const std::vector<std::pair<uint32_t, int>> expected(model.begin(), model.end());
      ASSERT_EQ(got, expected);
    }
    ASSERT_EQ(Counted::live, 0);
  }
}

TEST(HybridHashmap, CopiesAreDeepAndIndependent) {
  for (int size : {3, 12, 40}) {
    {
      CountedMap original;
      for (int i = 0; i < size; ++i) original.insert(i, Counted(i));
      CountedMap copy = original;
      EXPECT_EQ(Counted::live, 2 * size);
      copy.insert(0, Counted(500));
      EXPECT_EQ(original.get(0)->value, 0);
      CountedMap moved = std::move(copy);
      EXPECT_EQ(moved.get(0)->value, 500);
      EXPECT_EQ(moved.len(), static_cast<size_t>(size));
      copy = original;  // assignment over a moved-from map
      EXPECT_EQ(copy.get(0)->value, 0);
      EXPECT_EQ(entries(copy), entries(original));
    }
    EXPECT_EQ(Counted::live, 0);
  }
}

}  // namespace
}  // namespace vostrel
