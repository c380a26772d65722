// ShardedHashMap: lookups, shard choice, and behaviour under concurrent readers and writers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "index/core/structures/shards/hashmap.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {
namespace {

// A key carrying its own hash, like a captured value; equality looks at the text.
struct Key {
  uint64_t hash;
  std::string text;
  bool operator==(const Key&) const = default;
};
struct KeyHash {
  uint64_t operator()(const Key& k) const { return k.hash; }
};
using Sharded = ShardedHashMap<Key, HybridSet, KeyHash>;

Key key_of(uint32_t n) { return Key{n * 0x9E3779B97F4A7C15ULL, "k" + std::to_string(n)}; }

TEST(ShardedHashMap, ShardChoiceFollowsTheFxFormula) {
  EXPECT_EQ(Sharded::shard_index(5, 15), 0x4b9fb54366d82d9aULL & 15);  // rotl(5 * K, 26), from Python
  Sharded map;
  EXPECT_EQ(map.shard_count(), 16u);
  for (size_t bad : {0u, 3u, 12u}) EXPECT_THROW(Sharded::with_shard_count(bad), InternalError);
  EXPECT_EQ(Sharded::with_shard_count(4).shard_count(), 4u);
  EXPECT_THROW(map.read_shard_at(16), InternalError);
}

TEST(ShardedHashMap, LookupCopiesAndCollidingKeysStayApart) {
  Sharded map;
  EXPECT_TRUE(map.is_empty());
  EXPECT_FALSE(map.get(key_of(1)).has_value());

  const Key a{42, "a"}, b{42, "b"};  // same stored hash, so same shard
  map.get_shard(a.hash).map[a].add(1);
  map.get_shard(b.hash).map[b].add(2);
  EXPECT_EQ(map.read_shard(42).map.size(), 2u);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_FALSE(map.is_empty());

  std::optional<HybridSet> got = map.get(a);
  ASSERT_TRUE(got.has_value());
  EXPECT_TRUE(got->contains(1));
  EXPECT_FALSE(got->contains(2));
  got->add(99);  // the caller owns a copy
  EXPECT_FALSE(map.get(a)->contains(99));
  EXPECT_FALSE(map.get(Key{42, "c"}).has_value());

  Sharded moved = std::move(map);
  EXPECT_TRUE(moved.get(b)->contains(2));
}

// Two stored hashes that select different shards.
std::pair<uint64_t, uint64_t> hashes_in_different_shards() {
  for (uint64_t h = 1;; ++h) {
    if (Sharded::shard_index(h, 15) != Sharded::shard_index(0, 15)) return {0, h};
  }
}

TEST(ShardedHashMap, WriterBlocksOnlyItsOwnShard) {
  Sharded map;
  const auto [held, other] = hashes_in_different_shards();
  map.get_shard(other).map[Key{other, "x"}].add(7);

  auto guard = map.get_shard(held);  // hold one shard for writing
  auto other_reader = std::async(std::launch::async, [&] { return map.get(Key{other, "x"}).has_value(); });
  ASSERT_EQ(other_reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(other_reader.get());

  auto same_reader = std::async(std::launch::async, [&] { return map.read_shard(held).map.size(); });
  EXPECT_EQ(same_reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  guard.map[Key{held, "y"}].add(1);
  guard.lock.unlock();
  EXPECT_EQ(same_reader.get(), 1u);  // sees the whole update, not half of it
}

TEST(ShardedHashMap, ConcurrentWritersLoseNothing) {
  constexpr int THREADS = 6;
  constexpr uint32_t KEYS = 3000;
  Sharded map;
  std::vector<std::thread> workers;
  for (int t = 0; t < THREADS; ++t) {
    workers.emplace_back([&map, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 20000; ++i) {
        const uint32_t k = rng() % KEYS;
        const uint32_t id = static_cast<uint32_t>(t * 100000 + i % 50);
        const Key key = key_of(k);
        map.get_shard(key.hash).map[key].add(id);  // the guard ends with the statement
        if (rng() % 4 == 0) (void)map.get(key_of(rng() % KEYS));
      }
    });
  }
  for (auto& w : workers) w.join();

  std::map<uint32_t, std::set<uint32_t>> model;  // replay each thread's sequence
  for (int t = 0; t < THREADS; ++t) {
    std::mt19937 rng(t);
    for (int i = 0; i < 20000; ++i) {
      const uint32_t k = rng() % KEYS;
      model[k].insert(static_cast<uint32_t>(t * 100000 + i % 50));
      if (rng() % 4 == 0) (void)rng();
    }
  }
  EXPECT_EQ(map.size(), model.size());
  for (const auto& [k, want] : model) {
    std::optional<HybridSet> got = map.get(key_of(k));
    ASSERT_TRUE(got.has_value());
    std::set<uint32_t> have;
    got->for_each([&](uint32_t id) { have.insert(id); });
    ASSERT_EQ(have, want) << "key " << k;
  }
  size_t visited = 0;
  map.for_each_shard_read([&](const Sharded::Map& shard) { visited += shard.size(); });
  EXPECT_EQ(visited, model.size());
}

}  // namespace
}  // namespace vostrel
