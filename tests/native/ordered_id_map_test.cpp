// OrderedIdMap against a std::map<key, std::set<id>> shadow: random adds and removes over key ranges small enough that
// values gather many ids (side sets, the switch to a bitmap) and large enough that leaves split and empty; ranges,
// estimates, narrowing and merging checked against the shadow.
#include "index/core/structures/value_ids/ordered_id_map.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <set>
#include <vector>

#include "id_shadow.hpp"

namespace vostrel {
namespace {

using Map = OrderedIdMap<int64_t>;
using Shadow = std::map<int64_t, std::set<uint32_t>>;

// The map of numbers, whose entries take a packed form of their own, seen through int64 keys (OrderedKey keeps the
// order of the ints), so the same model runs over it.
class NumberMap {
 public:
  void add(int64_t key, uint32_t id) { map_.add(OrderedKey::from_int(key), id); }
  void remove(int64_t key, uint32_t id) { map_.remove(OrderedKey::from_int(key), id); }
  uint64_t count(int64_t key) const { return map_.count(OrderedKey::from_int(key)); }
  void or_into(int64_t key, Bitmap& out) const { map_.or_into(OrderedKey::from_int(key), out); }
  void range_into(int64_t low, int64_t high, Bitmap& out, const Bitmap* within = nullptr) const {
    map_.range_into(OrderedKey::from_int(low), OrderedKey::from_int(high), out, within);
  }
  uint64_t estimate_range(int64_t low, int64_t high, uint64_t cap) const {
    return map_.estimate_range(OrderedKey::from_int(low), OrderedKey::from_int(high), cap);
  }
  template <class F>
  void for_each(F&& f) const {
    map_.for_each([&](const OrderedKey& key, uint32_t id) { f(key_value(key), id); });
  }
  void keep_only(const Bitmap& kept) { map_.keep_only(kept); }
  void merge_from(const NumberMap& other, const Bitmap* only) { map_.merge_from(other.map_, only); }
  size_t size() const { return map_.size(); }
  uint64_t id_count() const { return map_.id_count(); }
  bool empty() const { return map_.empty(); }

 private:
  // The int a key was made from: small ints are exact in a double, and the key's order is the numbers' order.
  static int64_t key_value(const OrderedKey& key) {
    int64_t low = -(int64_t{1} << 40);
    int64_t high = int64_t{1} << 40;
    while (low < high) {
      const int64_t mid = low + (high - low) / 2;
      if (OrderedKey::from_int(mid) < key) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    return low;
  }
  OrderedIdMap<OrderedKey> map_;
};

std::set<uint32_t> ids_of(const Bitmap& bitmap) { return std::set<uint32_t>(bitmap.begin(), bitmap.end()); }

std::set<uint32_t> shadow_range(const Shadow& shadow, int64_t low, int64_t high, const Bitmap* within) {
  std::set<uint32_t> want;
  for (auto at = shadow.lower_bound(low); at != shadow.end() && at->first <= high; ++at) {
    for (uint32_t id : at->second) {
      if (within == nullptr || within->contains(id)) want.insert(id);
    }
  }
  return want;
}

template <class AnyMap>
void expect_same(const AnyMap& map, const Shadow& shadow, std::mt19937& rng, int64_t key_range) {
  ASSERT_EQ(map.size(), shadow.size());
  uint64_t total = 0;
  for (const auto& [key, ids] : shadow) total += ids.size();
  ASSERT_EQ(map.id_count(), total);
  for (int64_t key = -1; key <= key_range; ++key) {
    auto found = shadow.find(key);
    const std::set<uint32_t> want = found == shadow.end() ? std::set<uint32_t>{} : found->second;
    ASSERT_EQ(map.count(key), want.size()) << "key " << key;
    Bitmap got;
    map.or_into(key, got);
    ASSERT_EQ(ids_of(got), want) << "key " << key;
  }
  // Pairs come in key order, each once.
  std::vector<std::pair<int64_t, uint32_t>> visited;
  map.for_each([&](int64_t key, uint32_t id) { visited.emplace_back(key, id); });
  std::vector<std::pair<int64_t, uint32_t>> expected;
  for (const auto& [key, ids] : shadow) {
    for (uint32_t id : ids) expected.emplace_back(key, id);
  }
  ASSERT_EQ(visited, expected);
  // Ranges, with and without a filter, and the estimate never below the truth.
  Bitmap within;
  for (uint32_t id = 0; id < 4000; id += 3) within.add(id);
  for (int round = 0; round < 30; ++round) {
    int64_t low = static_cast<int64_t>(rng() % (key_range + 2)) - 1;
    int64_t high = low + static_cast<int64_t>(rng() % (key_range / 4 + 2)) - 1;
    Bitmap got;
    map.range_into(low, high, got);
    const std::set<uint32_t> want = shadow_range(shadow, low, high, nullptr);
    ASSERT_EQ(ids_of(got), want) << low << ".." << high;
    // The estimate may miss the ids per value but never the values: a range spans whole leaves.
    uint64_t keys_in_range = 0;
    for (auto at = shadow.lower_bound(low); at != shadow.end() && at->first <= high; ++at) ++keys_in_range;
    ASSERT_GE(map.estimate_range(low, high, UINT64_MAX), keys_in_range);
    Bitmap filtered;
    map.range_into(low, high, filtered, &within);
    ASSERT_EQ(ids_of(filtered), shadow_range(shadow, low, high, &within));
  }
}

template <class AnyMap = Map>
void run_random(uint32_t seed, int64_t key_range, uint32_t id_range, int steps) {
  AnyMap map;
  Shadow shadow;
  std::mt19937 rng(seed);
  for (int step = 0; step < steps; ++step) {
    const int64_t key = static_cast<int64_t>(rng() % key_range);
    const uint32_t id = rng() % id_range;
    // Grow for the first half, then mostly shrink, so leaves both split and empty.
    const bool add = (rng() % 100) < (step < steps / 2 ? 70u : 25u);
    testing::add_or_remove(map, shadow, key, id, add);
    if (step % 2000 == 0) expect_same(map, shadow, rng, key_range);
  }
  expect_same(map, shadow, rng, key_range);
}

TEST(OrderedIdMap, ManyDistinctKeysSplitAndEmptyLeaves) { run_random(1, 3000, 4000, 30000); }

TEST(OrderedIdMap, FewKeysGatherLargeSets) { run_random(2, 12, 4000, 30000); }

TEST(OrderedIdMap, NumberKeysMatchTheShadow) {
  run_random<NumberMap>(5, 3000, 4000, 20000);
  run_random<NumberMap>(6, 12, 4000, 20000);
}

TEST(OrderedIdMap, KeysBelowEveryLeafLandInFront) {
  Map map;
  for (int64_t key = 1000; key > 0; --key) map.add(key, static_cast<uint32_t>(key));
  Bitmap all;
  map.range_into(0, 2000, all);
  EXPECT_EQ(all.cardinality(), 1000u);
  Bitmap one;
  map.or_into(1, one);
  EXPECT_TRUE(one.contains(1));
  for (int64_t key = 1; key <= 1000; ++key) map.remove(key, static_cast<uint32_t>(key));
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.estimate_range(0, 2000, 10), 0u);
}

TEST(OrderedIdMap, RangesOverIdsOfEveryWidth) {
  // Gathered ids are radix-sorted in as many passes as the largest needs: ids near 2^32 take all three.
  std::mt19937 rng(4);
  Map map;
  Shadow shadow;
  for (int i = 0; i < 5000; ++i) {
    const int64_t key = static_cast<int64_t>(rng() % 100000);
    const uint32_t id = i % 3 == 0 ? rng() : i % 3 == 1 ? rng() % (1u << 22) : rng() % 5000;
    map.add(key, id);
    shadow[key].insert(id);
  }
  for (int64_t low = 0; low < 100000; low += 9973) {
    Bitmap got;
    map.range_into(low, low + 20000, got);
    ASSERT_EQ(ids_of(got), shadow_range(shadow, low, low + 20000, nullptr));
  }
}

template <class AnyMap>
void keep_only_and_merge() {
  std::mt19937 rng(3);
  AnyMap map;
  AnyMap other;
  Shadow shadow;
  Shadow other_shadow;
  for (int i = 0; i < 5000; ++i) {
    const int64_t key = static_cast<int64_t>(rng() % 700);
    const uint32_t id = rng() % 3000;
    map.add(key, id);
    shadow[key].insert(id);
    const int64_t other_key = static_cast<int64_t>(rng() % 700);
    const uint32_t other_id = 3000 + rng() % 3000;
    other.add(other_key, other_id);
    other_shadow[other_key].insert(other_id);
  }
  Bitmap kept;
  for (uint32_t id = 0; id < 3000; id += 2) kept.add(id);
  map.keep_only(kept);
  for (auto at = shadow.begin(); at != shadow.end();) {
    std::erase_if(at->second, [&](uint32_t id) { return !kept.contains(id); });
    at = at->second.empty() ? shadow.erase(at) : std::next(at);
  }
  expect_same(map, shadow, rng, 700);

  Bitmap only;
  for (uint32_t id = 3000; id < 6000; id += 5) only.add(id);
  map.merge_from(other, &only);
  for (const auto& [key, ids] : other_shadow) {
    for (uint32_t id : ids) {
      if (only.contains(id)) shadow[key].insert(id);
    }
  }
  expect_same(map, shadow, rng, 700);
}

TEST(OrderedIdMap, KeepOnlyAndMergeMatchTheShadow) {
  keep_only_and_merge<Map>();
  keep_only_and_merge<NumberMap>();
}


// keep_only over maps whose leaves were split and partly emptied first (leaves of every fill), kept sets of every
// density: the survivors are packed into full leaves in key order, so every lookup, range and later write must agree
// with the shadow.
TEST(OrderedIdMap, KeepOnlyPacksLeavesOfEveryFill) {
  for (uint32_t one_in : {0u, 1u, 2u, 7u, 50u}) {
    SCOPED_TRACE(one_in);
    std::mt19937 rng(20 + one_in);
    Map map;
    Shadow shadow;
    for (int step = 0; step < 40000; ++step) {
      // Keys near zero gather large sets; the rest are spread thin.
      const int64_t key = step % 5 == 0 ? static_cast<int64_t>(rng() % 4) : static_cast<int64_t>(rng() % 3000);
      const uint32_t id = rng() % 4000;
      if (step < 30000 || rng() % 3 != 0) {
        map.add(key, id);
        shadow[key].insert(id);
      } else {
        map.remove(key, id);
        testing::shadow_remove(shadow, key, id);
      }
    }
    Bitmap kept;
    for (uint32_t id = 0; id < 4000; ++id) {
      if (one_in != 0 && rng() % one_in == 0) kept.add(id);
    }
    map.keep_only(IdFilter(kept));
    for (auto at = shadow.begin(); at != shadow.end();) {
      std::erase_if(at->second, [&](uint32_t id) { return !kept.contains(id); });
      at = at->second.empty() ? shadow.erase(at) : std::next(at);
    }
    expect_same(map, shadow, rng, 3000);
    for (int step = 0; step < 5000; ++step) {
      const int64_t key = static_cast<int64_t>(rng() % 3000);
      const uint32_t id = rng() % 4000;
      map.add(key, id);
      shadow[key].insert(id);
    }
    expect_same(map, shadow, rng, 3000);
  }
}


// merge_from over keys held by one side or both, sets on either side from one id to past the side vector's limit (a
// union of two vectors may turn into a bitmap), with and without a filter on the incoming ids, and from a map small
// enough to go in pair by pair.
TEST(OrderedIdMap, MergeCombinesSetsOfEverySize) {
  for (int round = 0; round < 4; ++round) {
    const bool filtered = round % 2 == 1;
    const uint32_t other_one_in = round < 2 ? 2 : 400;
    SCOPED_TRACE(round);
    std::mt19937 rng(40 + round);
    Map map;
    Map other;
    Shadow shadow;
    Shadow other_shadow;
    for (int step = 0; step < 12000; ++step) {
      const int64_t key = step % 4 == 0 ? static_cast<int64_t>(rng() % 3) : static_cast<int64_t>(rng() % 2000);
      if (rng() % other_one_in != 0) {
        const uint32_t id = rng() % 5000;
        map.add(key, id);
        shadow[key].insert(id);
      } else {
        const uint32_t id = 5000 + rng() % 5000;
        other.add(key, id);
        other_shadow[key].insert(id);
      }
    }
    Bitmap only;
    for (uint32_t id = 5000; id < 10000; ++id) {
      if (rng() % 3 != 0) only.add(id);
    }
    map.merge_from(other, filtered ? &only : nullptr);
    for (const auto& [key, ids] : other_shadow) {
      for (uint32_t id : ids) {
        if (!filtered || only.contains(id)) shadow[key].insert(id);
      }
    }
    expect_same(map, shadow, rng, 2000);
    // Still a working map: writes after the merge.
    for (int step = 0; step < 3000; ++step) {
      const int64_t key = static_cast<int64_t>(rng() % 2000);
      const uint32_t id = rng() % 10000;
      map.remove(key, id);
      testing::shadow_remove(shadow, key, id);
    }
    expect_same(map, shadow, rng, 2000);
  }
}

}  // namespace
}  // namespace vostrel

namespace vostrel {
namespace {

struct Pair {
  int64_t key;
  uint32_t id;
};

// Batches sorted by key go in through add_sorted, mixed with single adds and removals, small batches into a large
// map (the per-pair path) and large ones (the ordered rebuild), keys repeated within a batch and already held.
TEST(OrderedIdMap, SortedBatchesMatchTheShadow) {
  for (const int64_t key_range : {int64_t{10}, int64_t{500}, int64_t{20000}}) {
    Map map;
    Shadow shadow;
    std::mt19937 rng(static_cast<uint32_t>(key_range));
    for (int round = 0; round < 40; ++round) {
      std::vector<Pair> batch(rng() % 2 == 0 ? 5 + rng() % 20 : 500 + rng() % 3000);
      for (Pair& pair : batch) pair = Pair{static_cast<int64_t>(rng() % key_range), static_cast<uint32_t>(rng() % 50000)};
      std::sort(batch.begin(), batch.end(), [](const Pair& a, const Pair& b) { return a.key < b.key; });
      map.add_sorted(batch);
      for (const Pair& pair : batch) shadow[pair.key].insert(pair.id);
      for (int step = 0; step < 200; ++step) {
        const int64_t key = static_cast<int64_t>(rng() % key_range);
        const uint32_t id = rng() % 50000;
        if (rng() % 3 == 0) {
          map.add(key, id);
          shadow[key].insert(id);
        } else if (auto found = shadow.find(key); found != shadow.end()) {
          const uint32_t held = *found->second.begin();
          map.remove(key, held);
          found->second.erase(held);
          if (found->second.empty()) shadow.erase(found);
        }
      }
      if (round % 8 == 7) expect_same(map, shadow, rng, key_range);
    }
    expect_same(map, shadow, rng, key_range);
  }
}

// A bulk insertion's shape: batch after batch of fresh ids whose keys are mostly distinct and scattered over every
// leaf (each leaf merged and split in place), then batches whose keys lie above every other (only the last leaf
// grows), then removals of whole batches.
TEST(OrderedIdMap, ScatteredAndRisingBatchesMatchTheShadow) {
  Map map;
  Shadow shadow;
  std::mt19937 rng(4711);
  uint32_t next_id = 0;
  std::vector<std::vector<Pair>> batches;
  for (int round = 0; round < 30; ++round) {
    const bool rising = round >= 24;
    std::vector<Pair> batch(1000 + rng() % 2000);
    for (Pair& pair : batch) {
      pair = Pair{rising ? 2'000'000 + 10'000 * round + static_cast<int64_t>(rng() % 10'000)
                         : static_cast<int64_t>(rng() % 1'000'000),
                  next_id++};
    }
    std::stable_sort(batch.begin(), batch.end(), [](const Pair& a, const Pair& b) { return a.key < b.key; });
    map.add_sorted(batch);
    for (const Pair& pair : batch) shadow[pair.key].insert(pair.id);
    batches.push_back(batch);
  }
  ASSERT_NO_FATAL_FAILURE(expect_same(map, shadow, rng, 2'400'000));
  for (size_t at = 0; at < batches.size(); at += 3) {
    for (const Pair& pair : batches[at]) {
      map.remove(pair.key, pair.id);
      auto found = shadow.find(pair.key);
      found->second.erase(pair.id);
      if (found->second.empty()) shadow.erase(found);
    }
  }
  ASSERT_NO_FATAL_FAILURE(expect_same(map, shadow, rng, 2'400'000));
}

// A key whose comparisons fail once a budget runs out: a batch merge that fails halfway must leave a map whose every
// leaf is whole, in key order, with counts that match, holding every pair it held before.
struct FailingKey {
  int64_t value = 0;
  static inline int64_t budget = -1;  // comparisons left before one throws; negative: never
  static void spend() {
    if (budget >= 0 && budget-- == 0) throw std::bad_alloc();
  }
  bool operator<(const FailingKey& other) const {
    spend();
    return value < other.value;
  }
  bool operator==(const FailingKey& other) const {
    spend();
    return value == other.value;
  }
};

TEST(OrderedIdMap, BatchThatFailsHalfwayLeavesAWholeMap) {
  for (const int64_t fail_after : {int64_t{0}, int64_t{50}, int64_t{3000}, int64_t{9000}}) {
    OrderedIdMap<FailingKey> map;
    Shadow before;
    std::mt19937 rng(static_cast<uint32_t>(fail_after) + 1);
    struct KeyedPair {
      FailingKey key;
      uint32_t id;
    };
    const auto batch_of = [&](size_t count, uint32_t first_id) {
      std::vector<KeyedPair> batch(count);
      for (size_t at = 0; at < count; ++at) {
        batch[at] = KeyedPair{FailingKey{static_cast<int64_t>(rng() % 30000)}, first_id + static_cast<uint32_t>(at)};
      }
      std::sort(batch.begin(), batch.end(),
                [](const KeyedPair& a, const KeyedPair& b) { return a.key.value < b.key.value; });
      return batch;
    };
    const std::vector<KeyedPair> first = batch_of(6000, 0);
    map.add_sorted(first);
    for (const KeyedPair& pair : first) before[pair.key.value].insert(pair.id);
    const std::vector<KeyedPair> second = batch_of(6000, 100000);
    FailingKey::budget = fail_after;
    EXPECT_THROW(map.add_sorted(second), std::bad_alloc);
    FailingKey::budget = -1;
    // Whole and ordered, counts as walked, nothing lost, nothing but the two batches' pairs.
    Shadow after;
    int64_t last = -1;
    map.for_each([&](const FailingKey& key, uint32_t id) {
      ASSERT_GE(key.value, last);
      last = key.value;
      after[key.value].insert(id);
    });
    uint64_t pairs = 0;
    for (const auto& [key, ids] : after) pairs += ids.size();
    EXPECT_EQ(map.size(), after.size());
    EXPECT_EQ(map.id_count(), pairs);
    for (const auto& [key, ids] : before) {
      for (uint32_t id : ids) EXPECT_TRUE(after.count(key) && after.at(key).count(id)) << key << " " << id;
    }
    for (const auto& [key, ids] : after) {
      for (uint32_t id : ids) EXPECT_TRUE(id < 6000 || (id >= 100000 && id < 106000));
    }
    // The map still takes batches and lookups.
    map.add_sorted(second);
    for (const KeyedPair& pair : second) before[pair.key.value].insert(pair.id);
    for (const auto& [key, ids] : before) EXPECT_EQ(map.count(FailingKey{key}), ids.size());
  }
  // A first batch that fails leaves an empty map, not an empty leaf.
  OrderedIdMap<FailingKey> empty;
  struct KeyedPair {
    FailingKey key;
    uint32_t id;
  };
  std::vector<KeyedPair> pairs;
  for (uint32_t id = 0; id < 500; ++id) pairs.push_back(KeyedPair{FailingKey{id / 2}, id});
  FailingKey::budget = 10;
  EXPECT_THROW(empty.add_sorted(pairs), std::bad_alloc);
  FailingKey::budget = -1;
  uint64_t seen = 0;
  empty.for_each([&](const FailingKey&, uint32_t) { ++seen; });
  EXPECT_EQ(seen, empty.id_count());
  empty.add_sorted(pairs);
  EXPECT_EQ(empty.id_count(), 500u);
  EXPECT_EQ(empty.size(), 250u);
}

// A merge that fails (an allocation, here a comparison) leaves the map holding exactly what it held: the sets it was
// moving into the merged map come back.
TEST(OrderedIdMap, MergeThatFailsHalfwayLeavesTheMapAsItWas) {
  // Comparisons run out at points spread over the whole walk: keys only this map holds, keys both hold.
  for (int64_t fail_after = 0; fail_after < 400; fail_after += 23) {
    std::mt19937 rng(static_cast<uint32_t>(fail_after) + 5);
    OrderedIdMap<FailingKey> map;
    OrderedIdMap<FailingKey> other;
    Shadow before;
    for (uint32_t id = 0; id < 3000; ++id) {
      const int64_t key = static_cast<int64_t>(rng() % 400);  // most keys hold a set, some a lone id
      map.add(FailingKey{key}, id);
      before[key].insert(id);
    }
    for (uint32_t id = 10000; id < 12000; ++id) other.add(FailingKey{static_cast<int64_t>(rng() % 800)}, id);
    FailingKey::budget = fail_after;
    EXPECT_THROW(map.merge_from(other, nullptr), std::bad_alloc);
    FailingKey::budget = -1;
    Shadow after;
    map.for_each([&](const FailingKey& key, uint32_t id) { after[key.value].insert(id); });
    EXPECT_EQ(after, before) << "fail after " << fail_after;
    EXPECT_EQ(map.id_count(), 3000u);
    for (const auto& [key, ids] : before) EXPECT_EQ(map.count(FailingKey{key}), ids.size());
    map.merge_from(other, nullptr);  // and merges whole afterwards
    EXPECT_EQ(map.id_count(), 5000u);
  }
}

}  // namespace
}  // namespace vostrel
