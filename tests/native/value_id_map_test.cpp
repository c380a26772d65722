// ValueIdMap against a std::map<key, std::set<id>> shadow: random adds and removes, with keys hashed to a handful of
// values so that probe runs are long and removal has to shift entries back across the table's wrap-around.
#include "index/core/structures/value_ids/value_id_map.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "id_shadow.hpp"

namespace vostrel {
namespace {

struct CollidingHash {
  uint64_t operator()(uint64_t key) const noexcept { return key % 5; }
};
struct SpreadHash {
  uint64_t operator()(uint64_t key) const noexcept { return key * 0x9e3779b97f4a7c15ULL; }
};

using Shadow = std::map<uint64_t, std::set<uint32_t>>;

template <class Map>
void expect_same(const Map& map, const Shadow& shadow, uint64_t key_range) {
  ASSERT_EQ(map.size(), shadow.size());
  for (uint64_t key = 0; key < key_range; ++key) {
    auto found = shadow.find(key);
    const std::set<uint32_t> want = found == shadow.end() ? std::set<uint32_t>{} : found->second;
    ASSERT_EQ(map.count(key), want.size()) << "key " << key;
    Bitmap got;
    map.or_into(key, got);
    ASSERT_EQ(std::set<uint32_t>(got.begin(), got.end()), want) << "key " << key;
  }
  // Every stored pair is visited once, and only those.
  Shadow visited;
  map.for_each([&](uint64_t key, uint32_t id) { ASSERT_TRUE(visited[key].insert(id).second); });
  ASSERT_EQ(visited, shadow);
}

template <class Hash>
void run_random(uint32_t seed, uint64_t key_range, uint32_t id_range, int steps, int check_every) {
  ValueIdMap<uint64_t, Hash, std::equal_to<uint64_t>> map;
  Shadow shadow;
  std::mt19937 rng(seed);
  for (int step = 0; step < steps; ++step) {
    const uint64_t key = rng() % key_range;
    const uint32_t id = rng() % id_range;
    // Grow for the first half, then mostly shrink, so the table both doubles and halves.
    const bool add = (rng() % 100) < (step < steps / 2 ? 65u : 25u);
    testing::add_or_remove(map, shadow, key, id, add);
    if (step % check_every == 0) expect_same(map, shadow, key_range);
  }
  expect_same(map, shadow, key_range);
}

TEST(ValueIdMap, RandomAgainstShadowWithCollisions) {
  for (uint32_t seed = 1; seed <= 6; ++seed) run_random<CollidingHash>(seed, 60, 12, 4000, 97);
}

TEST(ValueIdMap, RandomAgainstShadowManyKeys) {
  for (uint32_t seed = 11; seed <= 13; ++seed) run_random<SpreadHash>(seed, 3000, 8, 20000, 2003);
}

// A batch of mostly rising ids, some ids repeated or coming back lower: every set takes the appending shortcut and
// the ordered insert, crossing from a vector to a bitmap on the way.
TEST(ValueIdMap, AddEachMatchesTheShadow) {
  ValueIdMap<uint64_t, SpreadHash, std::equal_to<uint64_t>> map;
  Shadow shadow;
  std::mt19937 rng(11);
  std::vector<std::pair<uint64_t, uint32_t>> batch;
  for (uint32_t step = 0; step < 20'000; ++step) {
    const uint32_t id = rng() % 8 == 0 ? rng() % (step + 1) : step;
    batch.emplace_back(rng() % 2 == 0 ? rng() % 4 : rng() % 3000, id);
    shadow[batch.back().first].insert(id);
  }
  map.add_each(
      batch.size(), [&](size_t at) -> const uint64_t& { return batch[at].first; },
      [&](size_t at) { return batch[at].second; });
  expect_same(map, shadow, 3000);
}

TEST(ValueIdMap, LoneIdGrowsToSetAndBack) {
  ValueIdMap<uint64_t, SpreadHash, std::equal_to<uint64_t>> map;
  map.add(7, 1);
  map.add(7, 1);  // again: no change
  EXPECT_EQ(map.count(7), 1u);
  for (uint32_t id = 2; id <= 40; ++id) map.add(7, id);  // past the inline array: a bitmap
  EXPECT_EQ(map.count(7), 40u);
  for (uint32_t id = 40; id >= 2; --id) map.remove(7, id);
  EXPECT_EQ(map.count(7), 1u);
  map.remove(7, 99);  // an id it does not hold
  map.remove(8, 1);   // a key it does not hold
  EXPECT_EQ(map.count(7), 1u);
  map.remove(7, 1);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.capacity(), 0u);  // an emptied map gives its table back
}

TEST(ValueIdMap, OrIntoWithinAllowedSet) {
  ValueIdMap<uint64_t, SpreadHash, std::equal_to<uint64_t>> map;
  for (uint32_t id = 0; id < 1000; ++id) map.add(id % 3, id);
  map.add(5, 10);
  map.add(6, 20);
  map.add(6, 21);
  Bitmap allowed;
  for (uint32_t id = 0; id < 1000; id += 10) allowed.add(id);
  for (uint64_t key : {0u, 1u, 2u, 5u, 6u}) {
    Bitmap all;
    map.or_into(key, all);
    Bitmap within;
    map.or_into(key, within, &allowed);
    EXPECT_EQ(within, all & allowed) << "key " << key;
  }
}

TEST(ValueIdMap, SizeStaysProportionalAfterChurn) {
  ValueIdMap<uint64_t, SpreadHash, std::equal_to<uint64_t>> map;
  for (uint64_t key = 0; key < 100000; ++key) map.add(key, static_cast<uint32_t>(key));
  // Grown by half at 7/8 full: never less than 7/12 full, where doubling would leave 100k keys in 262,144 slots.
  EXPECT_LE(map.capacity() * 7, map.size() * 12);
  for (uint64_t key = 0; key < 99990; ++key) map.remove(key, static_cast<uint32_t>(key));
  EXPECT_EQ(map.size(), 10u);
  EXPECT_LE(map.capacity(), 128u);  // halves as it empties
  for (uint64_t key = 99990; key < 100000; ++key) EXPECT_EQ(map.count(key), 1u);
}


// keep_only against the shadow: tables with long probe runs (colliding hashes) and wide ones, values held by one id,
// by a few and by more than a side vector holds (a bitmap that may shrink back to a vector), kept sets dense and
// sparse (the filter's two ways), keeping all, none and some. The table must stay usable: adds and removes follow.
template <class Hash>
void run_keep_only(uint32_t seed, uint64_t key_range, uint32_t id_range, int adds, uint32_t keep_one_in) {
  ValueIdMap<uint64_t, Hash, std::equal_to<uint64_t>> map;
  Shadow shadow;
  std::mt19937 rng(seed);
  for (int step = 0; step < adds; ++step) {
    // Key 0 gathers many ids (past the side vector's limit); the others a few or one.
    const uint64_t key = step % 3 == 0 ? 0 : rng() % key_range;
    const uint32_t id = rng() % id_range;
    map.add(key, id);
    shadow[key].insert(id);
  }
  Bitmap kept;
  for (uint32_t id = 0; id < id_range; ++id) {
    if (keep_one_in != 0 && rng() % keep_one_in == 0) kept.add(id);
  }
  if (keep_one_in == 1) kept.addRange(0, id_range);
  map.keep_only(IdFilter(kept));
  for (auto at = shadow.begin(); at != shadow.end();) {
    std::erase_if(at->second, [&](uint32_t id) { return !kept.contains(id); });
    at = at->second.empty() ? shadow.erase(at) : std::next(at);
  }
  expect_same(map, shadow, key_range);
  // Sized as growing to this many entries would have sized it.
  if (shadow.empty()) {
    EXPECT_EQ(map.capacity(), 0u);
  } else {
    EXPECT_LE(map.size() * 8, map.capacity() * 7);
    EXPECT_TRUE(map.capacity() == 8 || map.size() * 16 > map.capacity() * 7) << map.size() << " in " << map.capacity();
  }
  for (int step = 0; step < adds / 4; ++step) {
    const uint64_t key = rng() % key_range;
    const uint32_t id = rng() % id_range;
    testing::add_or_remove(map, shadow, key, id, rng() % 2 == 0);
  }
  expect_same(map, shadow, key_range);
}

TEST(ValueIdMap, KeepOnlyWithCollidingHashes) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    for (uint32_t one_in : {0u, 1u, 2u, 10u}) run_keep_only<CollidingHash>(seed, 80, 5000, 4000, one_in);
  }
}

TEST(ValueIdMap, KeepOnlyOfManyKeys) {
  for (uint32_t one_in : {1u, 3u, 10u, 1000u}) run_keep_only<SpreadHash>(7, 30000, 60000, 60000, one_in);
  // Ids spread over the whole range: the filter falls back to the bitmap.
  ValueIdMap<uint64_t, SpreadHash, std::equal_to<uint64_t>> map;
  Bitmap kept;
  for (uint32_t step = 0; step < 500; ++step) {
    const uint32_t id = step * 8000009u;
    map.add(step % 50, id);
    if (step % 4 == 0) kept.add(id);
  }
  ASSERT_FALSE(IdFilter(kept).is_dense());
  map.keep_only(kept);
  uint64_t pairs = 0;
  map.for_each([&](uint64_t, uint32_t id) {
    EXPECT_TRUE(kept.contains(id));
    ++pairs;
  });
  EXPECT_EQ(pairs, kept.cardinality());
}

// merge_from over random maps: lone ids and sets (some past the point where a set becomes a bitmap) on both sides,
// keys held by one side or both, with and without the filter of incoming ids.
template <class Hash>
void run_merge(uint32_t seed, uint64_t key_range) {
  std::mt19937 rng(seed);
  for (int round = 0; round < 12; ++round) {
    ValueIdMap<uint64_t, Hash, std::equal_to<uint64_t>> mine, theirs;
    Shadow shadow_mine, shadow_theirs;
    const auto fill = [&](auto& map, Shadow& shadow, int count) {
      for (int step = 0; step < count; ++step) {
        // A few keys take thousands of ids, the rest one or two.
        const uint64_t key = rng() % 8 == 0 ? rng() % 4 : rng() % key_range;
        const uint32_t id = static_cast<uint32_t>(rng() % 200'000);
        map.add(key, id);
        shadow[key].insert(id);
      }
    };
    fill(mine, shadow_mine, 3000 + static_cast<int>(rng() % 3000));
    fill(theirs, shadow_theirs, 3000 + static_cast<int>(rng() % 3000));
    Bitmap only;
    const bool filtered = round % 2 == 1;
    for (uint32_t id = 0; id < 200'000; id += 1 + rng() % 3) only.add(id);
    mine.merge_from(theirs, filtered ? &only : nullptr);
    for (const auto& [key, ids] : shadow_theirs) {
      for (uint32_t id : ids) {
        if (!filtered || only.contains(id)) shadow_mine[key].insert(id);
      }
    }
    ASSERT_NO_FATAL_FAILURE(expect_same(mine, shadow_mine, key_range));
    ASSERT_NO_FATAL_FAILURE(expect_same(theirs, shadow_theirs, key_range));  // the source is left as it was
  }
}

TEST(ValueIdMap, MergeFromMatchesTheShadow) {
  run_merge<SpreadHash>(11, 5000);
  run_merge<CollidingHash>(12, 300);
}

}  // namespace
}  // namespace vostrel
