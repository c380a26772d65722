// ShardedHashMap: a hash map split into shards, each behind its own reader-writer lock.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <shared_mutex>
#include <utility>

#include "index/core/structures/shards/flat_table.hpp"
#include "index/core/structures/fx_hash.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {

// SplitMix64 finaliser: a full-avalanche mix of one 64-bit word.
constexpr uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A fresh seed for each call. One draw from the OS per process, then a
// counter through SplitMix64: maps are built often (one per attribute), so a
// random_device read per map would be needless system calls.
inline uint64_t next_map_seed() {
  static std::atomic<uint64_t> counter{[] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }()};
  return splitmix64(counter.fetch_add(0x9e3779b97f4a7c15ULL, std::memory_order_relaxed));
}

// Hashes a key by mixing the hash it carries with a per-map random seed, so
// that values chosen to collide in one process's maps do not pile into one
// bucket chain predictably.
template <class K, class StoredHash>
struct SeededStoredHash {
  uint64_t seed = 0;
  [[no_unique_address]] StoredHash stored{};

  size_t operator()(const K& key) const {
    return static_cast<size_t>(splitmix64(static_cast<uint64_t>(stored(key)) ^ seed));
  }
};

// K keys, V values; StoredHash()(key) gives the 64-bit hash the key carries.
// The shard of a key depends only on that stored hash (Fx mix and mask), so a
// caller that already knows the hash never rehashes the key to pick a shard.
// Within a shard, keys are placed by TableHash (the stored hash unless given:
// a cheaper hash that is as good for placement may be used there, since the
// shard choice never depends on it). Different shards never block each other.
// A thread must hold at most one shard guard of a map at a time.
template <class K, class V, class StoredHash, class KeyEqual = std::equal_to<K>, class TableHash = StoredHash>
class ShardedHashMap {
 public:
  using Hasher = SeededStoredHash<K, TableHash>;
  using Map = FlatTable<K, V, Hasher, KeyEqual>;

  // A shard locked for writing; the lock is held until the guard is dropped.
  struct WriteGuard {
    std::unique_lock<std::shared_mutex> lock;
    Map& map;
  };
  // A shard locked for reading; the lock is held until the guard is dropped.
  struct ReadGuard {
    std::shared_lock<std::shared_mutex> lock;
    const Map& map;
  };

  static constexpr size_t DEFAULT_SHARD_COUNT = 16;

  // shard_count empty shards; shard_count must be a nonzero power of two.
  explicit ShardedHashMap(size_t shard_count = DEFAULT_SHARD_COUNT)
      : shard_count_(shard_count) {
    if (!std::has_single_bit(shard_count)) {
      throw InternalError("ShardedHashMap shard count must be a power of two");
    }
    shards_ = std::make_unique<Shard[]>(shard_count);
    Hasher hasher;
    hasher.seed = next_map_seed();
    for (size_t i = 0; i < shard_count; ++i) shards_[i].map = Map(0, hasher);
  }

  ShardedHashMap(ShardedHashMap&&) noexcept = default;
  ShardedHashMap& operator=(ShardedHashMap&&) noexcept = default;

  // n empty shards (the program always passes 16).
  static ShardedHashMap with_shard_count(size_t n) { return ShardedHashMap(n); }

  // The shard of a stored hash: rotl(h * FX_K, 26) & mask.
  static size_t shard_index(uint64_t stored_hash, size_t mask) {
    return static_cast<size_t>(fx_hash_u64(stored_hash)) & mask;
  }

  // A copy of key's value, taken under its shard's read lock; nullopt if absent.
  std::optional<V> get(const K& key) const {
    const Shard& shard = shard_for(static_cast<uint64_t>(StoredHash{}(key)));
    std::shared_lock lock(shard.lock);
    auto found = shard.map.find(key);
    if (found == shard.map.end()) return std::nullopt;
    return found->second;
  }

  // The shard of stored_hash, locked for writing.
  WriteGuard get_shard(uint64_t stored_hash) {
    Shard& shard = shard_for(stored_hash);
    return WriteGuard{std::unique_lock(shard.lock), shard.map};
  }

  // The shard of stored_hash, locked for reading.
  ReadGuard read_shard(uint64_t stored_hash) const {
    const Shard& shard = shard_for(stored_hash);
    return ReadGuard{std::shared_lock(shard.lock), shard.map};
  }

  // Shard number index (below shard_count()), locked for writing.
  WriteGuard get_shard_at(size_t index) {
    Shard& shard = shard_at(index);
    return WriteGuard{std::unique_lock(shard.lock), shard.map};
  }

  // Shard number index (below shard_count()), locked for reading.
  ReadGuard read_shard_at(size_t index) const {
    const Shard& shard = shard_at(index);
    return ReadGuard{std::shared_lock(shard.lock), shard.map};
  }

  size_t shard_count() const { return shard_count_; }

  // True when no shard holds an entry. Shards are read one at a time in
  // order, each under its read lock, stopping at the first non-empty one; so
  // the answer is a snapshot per shard, not of the whole map at once.
  bool is_empty() const {
    for (size_t i = 0; i < shard_count_; ++i) {
      std::shared_lock lock(shards_[i].lock);
      if (!shards_[i].map.empty()) return false;
    }
    return true;
  }

  // Total number of entries, summed shard by shard under read locks.
  size_t size() const {
    size_t total = 0;
    for (size_t i = 0; i < shard_count_; ++i) {
      std::shared_lock lock(shards_[i].lock);
      total += shards_[i].map.size();
    }
    return total;
  }

  // Calls f(Map&) for every shard in order, each write-locked only during its call. A shard that f has left
  // mostly empty is rebuilt smaller after the call.
  template <class F>
  void for_each_shard(F&& f) {
    for (size_t i = 0; i < shard_count_; ++i) {
      std::unique_lock lock(shards_[i].lock);
      f(shards_[i].map);
      shards_[i].map.compact_if_sparse();
    }
  }

  // Calls f(const Map&) for every shard in order, each read-locked only during its call.
  template <class F>
  void for_each_shard_read(F&& f) const {
    for (size_t i = 0; i < shard_count_; ++i) {
      std::shared_lock lock(shards_[i].lock);
      f(std::as_const(shards_[i].map));
    }
  }

 private:
  // Cache-line aligned so that writers of neighbouring shards do not bounce
  // one line between cores.
  struct alignas(64) Shard {
    mutable std::shared_mutex lock;
    Map map;
  };

  Shard& shard_at(size_t index) const {
    // Cannot fail for a power-of-two count; kept as a cheap guard.
    if (index >= shard_count_) throw InternalError("ShardedHashMap shard index out of range");
    return shards_[index];
  }

  Shard& shard_for(uint64_t stored_hash) const {
    return shard_at(shard_index(stored_hash, shard_count_ - 1));
  }

  std::unique_ptr<Shard[]> shards_;
  size_t shard_count_;
};

}  // namespace vostrel
