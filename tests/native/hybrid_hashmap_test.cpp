// Attribute map: small-to-map switch edge cases, random inserts against std::map with a live-instance-counting
// value (leaks and double destruction show), and copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "index/hybrid_hashmap.hpp"

namespace vostrel {
namespace {

// A value that counts live instances; a moved-from instance keeps counting until destroyed.
struct Counted {
  static inline int live = 0;
  int value;
  explicit Counted(int v) : value(v) { ++live; }
  Counted(const Counted& other) : value(other.value) { ++live; }
  Counted(Counted&& other) noexcept : value(std::exchange(other.value, -1)) { ++live; }
  Counted& operator=(const Counted&) = default;
  Counted& operator=(Counted&& other) noexcept {
    value = std::exchange(other.value, -1);
    return *this;
  }
  ~Counted() {
    --live;
    EXPECT_GE(live, 0) << "double destruction";
  }
};

using CountedMap = HybridHashmap<uint32_t, Counted>;

std::vector<std::pair<uint32_t, int>> entries(const CountedMap& map) {
  std::vector<std::pair<uint32_t, int>> out;
  map.for_each([&](const uint32_t& key, const Counted& value) { out.emplace_back(key, value.value); });
  return out;
}

TEST(HybridHashmap, SmallFormEdgesAndSwitchOnNinthKey) {
  {
    CountedMap map;
    EXPECT_EQ(map.len(), 0u);
    EXPECT_TRUE(map.is_small());
    EXPECT_TRUE(entries(map).empty());
    EXPECT_EQ(map.get(3), nullptr);

    const uint32_t keys[8] = {40, 3, 17, 0, 99, 5, 1000000, 8};
    for (int i = 0; i < 8; ++i) EXPECT_FALSE(map.insert(keys[i], Counted(i)).has_value());
    EXPECT_TRUE(map.is_small());
    EXPECT_EQ(map.len(), 8u);
    EXPECT_EQ(Counted::live, 8);

    // Replacing in a full small map keeps the slot and the form, and hands back the old value.
    std::optional<Counted> old = map.insert(17, Counted(70));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->value, 2);
    old.reset();
    EXPECT_TRUE(map.is_small());
    std::vector<std::pair<uint32_t, int>> expected = {{40, 0}, {3, 1}, {17, 70}, {0, 3},
                                                      {99, 4}, {5, 5}, {1000000, 6}, {8, 7}};
    EXPECT_EQ(entries(map), expected);
    EXPECT_EQ(Counted::live, 8);

    EXPECT_FALSE(map.insert(12, Counted(9)).has_value());
    EXPECT_FALSE(map.is_small());
    EXPECT_EQ(map.len(), 9u);
    EXPECT_EQ(Counted::live, 9) << "moving into the map form neither leaks nor drops values";
    expected.emplace_back(12, 9);
    for (auto [key, value] : expected) {
      ASSERT_NE(map.get(key), nullptr) << key;
      EXPECT_EQ(map.get(key)->value, value);
    }
    auto got = entries(map);
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(entries(map), entries(map)) << "map-form order is stable while unchanged";
  }
  EXPECT_EQ(Counted::live, 0);
}

// Random inserts against std::map plus first-insertion order, for maps that stay small and maps that switch.
TEST(HybridHashmap, MatchesModelOnRandomInserts) {
  std::mt19937 rng(31337);
  for (int round = 0; round < 300; ++round) {
    const uint32_t key_range = 1 + rng() % 20;  // ranges up to 8 never switch
    const int ops = 1 + static_cast<int>(rng() % 60);
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
        ASSERT_EQ(map.is_small(), first_order.size() <= 8);
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
      if (map.is_small()) {
        ASSERT_EQ(got.size(), first_order.size());
        for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i].first, first_order[i]);
      }
      std::sort(got.begin(), got.end());
      const std::vector<std::pair<uint32_t, int>> expected(model.begin(), model.end());
      ASSERT_EQ(got, expected);
    }
    ASSERT_EQ(Counted::live, 0);
  }
}

TEST(HybridHashmap, CopiesAreDeepAndIndependent) {
  for (int size : {3, 12}) {
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
      EXPECT_EQ(copy.is_small(), size <= 8);
    }
    EXPECT_EQ(Counted::live, 0);
  }
}

}  // namespace
}  // namespace vostrel
