// ValueIdMap: value -> id set, so that an equality costs what its answer costs.
//
// Layout: one open-addressed table (linear probing, at most 7/8 full) of slots holding the key, a lone id and the
// number of a side set. A key's home is its mixed hash scaled to the capacity (a multiply, no mask), so the table
// grows by half, not double: its tables are about two thirds full on average, not five eighths, and a million keys
// fill 1.5M slots, not 2M. Most values of a selective attribute are held by one object, so most
// entries are one slot and no allocation (24 bytes for a 16-byte key); a value held by several ids keeps a ValueIds
// (a sorted vector, a bitmap once large) in a side vector, and goes back to a lone id when it shrinks to one.
// Removal shifts the rest of the probe run back (no tombstones); the table halves when it is mostly empty.
//
// `Hash` gives a key's 64-bit hash (mixed with a per-map seed before use), `Equal` compares two keys.
// No lock of its own: the owner's lock guards every access.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/id_filter/id_filter.hpp"
#include "index/core/structures/value_ids/value_ids.hpp"
#include "index/core/structures/shards/hashmap.hpp"

namespace vostrel {

template <class Key, class Hash, class Equal>
class ValueIdMap {
 public:
  ValueIdMap() : seed_(next_map_seed()) {}
  ValueIdMap(const ValueIdMap&) = default;
  ValueIdMap(ValueIdMap&&) noexcept = default;
  ValueIdMap& operator=(const ValueIdMap&) = default;
  ValueIdMap& operator=(ValueIdMap&&) noexcept = default;
  // The keys of a large table name records scattered over the heap (long text, objects): released in table order,
  // each fetched a few slots ahead, rather than by the plain walk of the vector's destructor, which waits on every one.
  ~ValueIdMap() {
    if constexpr (requires(const Key& key) { key.prefetch(); }) {
      for (size_t at = 0; at < slots_.size(); ++at) {
        if (at + PREFETCH_AHEAD < slots_.size() && slots_[at + PREFETCH_AHEAD].set != FREE) {
          slots_[at + PREFETCH_AHEAD].key.prefetch();
        }
        if (slots_[at].set != FREE) drop_key(slots_[at]);
      }
    }
  }

  // Adds id under key (nothing when already there).
  void add(const Key& key, uint32_t id) {
    Slot& slot = slots_[slot_for(key)];
    if (slot.set == FREE) {
      slot.key = key;
      slot.id = id;
      slot.set = LONE;
      ++entries_;
      ++keys_made_;
      return;
    }
    if (slot.set == LONE) {
      if (slot.id == id) return;
      // The slot names the set only once it holds its first id: a failure (memory) leaves the lone id in place.
      const uint32_t number = sets_.take();
      try {
        sets_[number].add(slot.id);
      } catch (...) {
        sets_.give_back(number);
        throw;
      }
      slot.set = number;
    }
    sets_[slot.set].add(id);
  }

  // add(key_at(i), id_at(i)) for each i < count. A large table misses the cache on nearly every slot, so the slot of
  // a key (and the key's shared record, which a stored copy counts on) is fetched a few keys ahead; a resize on the
  // way only wastes some of those fetches.
  template <class KeyAt, class IdAt>
  void add_each(size_t count, KeyAt&& key_at, IdAt&& id_at) {
    for (size_t at = 0; at < count; ++at) {
      if (at + PREFETCH_AHEAD < count && !slots_.empty()) {
        prefetch_for_add(key_at(at + PREFETCH_AHEAD));
      }
      add(key_at(at), id_at(at));
    }
  }

  // Removes id from key's set; the entry goes with its last id. Absent keys and ids change nothing.
  void remove(const Key& key, uint32_t id) {
    const size_t pos = find(key);
    if (pos == NOT_FOUND) return;
    Slot& slot = slots_[pos];
    if (slot.set == LONE) {
      if (slot.id == id) erase_at(pos);
      return;
    }
    ValueIds& ids = sets_[slot.set];
    ids.remove(id);
    const uint64_t left = ids.cardinality();
    if (left > 1) return;
    if (left == 1) ids.for_each([&slot](uint32_t last) { slot.id = last; });
    sets_.give_back(slot.set);
    slot.set = LONE;
    if (left == 0) erase_at(pos);
  }

  // Number of ids under key (0 when absent).
  uint64_t count(const Key& key) const {
    const size_t pos = find(key);
    if (pos == NOT_FOUND) return 0;
    const Slot& slot = slots_[pos];
    return slot.set == LONE ? 1 : sets_[slot.set].cardinality();
  }

  // Adds the ids under key into out; with `within`, only those it holds.
  void or_into(const Key& key, Bitmap& out, const Bitmap* within = nullptr) const {
    const size_t pos = find(key);
    if (pos == NOT_FOUND) return;
    const Slot& slot = slots_[pos];
    if (slot.set == LONE) {
      if (within == nullptr || within->contains(slot.id)) out.add(slot.id);
      return;
    }
    sets_[slot.set].or_into(out, within);
  }

  // Keeps only the ids `kept` holds. One pass over the slots narrows each entry in place (a side set as a whole) and
  // sets the survivors aside with their hashes, while the keys that go are dropped; the survivors then fill a table
  // sized for them, without a comparison (their keys are distinct) and without reading a key's shared record again.
  void keep_only(const IdFilter& kept) {
    if (entries_ == 0) return;
    std::vector<Survivor> survivors;
    // Room for every entry: the walk empties slots as it goes, so a survivor that found no room could not be put back
    // (pages never written are never touched).
    survivors.reserve(entries_);
    // Room for every set adopted below, made before the first slot changes (a failure then changes nothing).
    ValueIdsPool sets;
    sets.reserve(sets_.capacity_in_use());
    for (size_t pos = 0; pos < slots_.size(); ++pos) {
      // A key may keep its payload in a shared record, and a side set its ids in a block of their own: fetched a few
      // slots ahead, they are in cache when the key is hashed or dropped below.
      if (pos + PREFETCH_AHEAD < slots_.size()) {
        const Slot& ahead = slots_[pos + PREFETCH_AHEAD];
        if (ahead.set != FREE) {
          if constexpr (requires(const Key& key) { key.prefetch(); }) ahead.key.prefetch();
          if (ahead.set != LONE) sets_[ahead.set].prefetch();
        }
      }
      Slot& slot = slots_[pos];
      if (slot.set == FREE) continue;
      if (slot.set == LONE) {
        if (!kept.contains(slot.id)) {
          drop_key(slot);
          continue;
        }
      } else {
        ValueIds& ids = sets_[slot.set];
        const uint64_t left = ids.keep_only(kept);
        // A set given up is freed here, while its block is still in cache, not later with the old pool.
        if (left == 0) {
          ids = ValueIds();
          drop_key(slot);
          continue;
        }
        slot.set = sets.adopt_narrowed(std::move(ids), slot.id);
      }
      const uint64_t hash = Hash{}(slot.key);
      survivors.push_back(Survivor{std::move(slot), hash});
      slot.set = FREE;  // the key was moved out: nothing left to release
    }
    sets_ = std::move(sets);
    keys_dropped_ += entries_ - survivors.size();
    entries_ = survivors.size();
    if (entries_ == 0) {
      slots_ = std::vector<Slot>();
      return;
    }
    // Filled as a table just grown for this many entries is, and never less than a table of MIN_CAPACITY.
    const size_t capacity = capacity_for(entries_);
    if (capacity != slots_.size()) {
      try {
        slots_ = std::vector<Slot>(capacity);
      } catch (const std::bad_alloc&) {
        // The old table, every slot free by now, has room for the survivors: the map stays whole, only larger.
      }
    }
    for (Survivor& survivor : survivors) {
      size_t pos = home_of_hash(survivor.hash);
      while (slots_[pos].set != FREE) pos = next(pos);
      slots_[pos] = std::move(survivor.slot);
    }
  }

  void keep_only(const Bitmap& kept) { keep_only(IdFilter(kept)); }

  // Adds every pair of `other` whose id `only` holds (every pair without it).
  void merge_from(const ValueIdMap& other, const Bitmap* only) {
    // Room for every key of both at once: one rehash rather than one per doubling.
    const size_t wanted = entries_ + other.entries_;
    if (wanted * 8 > slots_.size() * 7) resize(capacity_for(wanted));
    std::optional<IdFilter> filter;
    if (only != nullptr) filter.emplace(*only);
    const IdFilter* keep = filter ? &*filter : nullptr;
    const std::vector<Slot>& theirs = other.slots_;
    for (size_t at = 0; at < theirs.size(); ++at) {
      // The slot a key lands in here and the key's shared record (a copy takes a reference on it) are far apart
      // in memory: both fetched a few keys ahead, their misses overlap.
      if (at + PREFETCH_AHEAD < theirs.size() && theirs[at + PREFETCH_AHEAD].set != FREE) {
        prefetch_for_add(theirs[at + PREFETCH_AHEAD].key);
      }
      const Slot& slot = theirs[at];
      if (slot.set == FREE) continue;
      if (slot.set == LONE) {
        if (keep == nullptr || keep->contains(slot.id)) add(slot.key, slot.id);
      } else {
        add_set(slot.key, other.sets_[slot.set], keep);
      }
    }
  }

  // Number of distinct keys.
  size_t size() const { return entries_; }
  // Keys made and keys dropped since the map was made, never lowered: a reader keeping its own list of the keys
  // (an order of them) knows from the first whether a key came since it listed them, and from the second how many of
  // those it lists are gone.
  uint64_t keys_made() const { return keys_made_; }
  uint64_t keys_dropped() const { return keys_dropped_; }

  // Calls f(lone_id, set) for key when present (as for_each_entry does); false when absent.
  template <class F>
  bool visit(const Key& key, F&& f) const {
    const size_t pos = find(key);
    if (pos == NOT_FOUND) return false;
    const Slot& slot = slots_[pos];
    f(slot.id, slot.set == LONE ? nullptr : &sets_[slot.set]);
    return true;
  }
  bool empty() const { return entries_ == 0; }
  // Slots of the table (for memory accounting and tests).
  size_t capacity() const { return slots_.size(); }

  // Calls f(key, lone_id, set) per key, in no particular order: `set` is the key's ids, or null when `lone_id` alone
  // holds it.
  template <class F>
  void for_each_entry(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.set == FREE) continue;
      f(slot.key, slot.id, slot.set == LONE ? nullptr : &sets_[slot.set]);
    }
  }

  // As for_each_entry, stopping as soon as f returns false (a walk that has seen enough reads no further slot).
  template <class F>
  void for_each_entry_while(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.set == FREE) continue;
      if (!f(slot.key, slot.id, slot.set == LONE ? nullptr : &sets_[slot.set])) return;
    }
  }

  // Calls f(key, id) for every stored pair, in no particular order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.set == FREE) continue;
      if (slot.set == LONE) {
        f(slot.key, slot.id);
      } else {
        sets_[slot.set].for_each([&](uint32_t id) { f(slot.key, id); });
      }
    }
  }

 private:
  static constexpr uint32_t FREE = UINT32_MAX;  // slot holds no entry
  static constexpr uint32_t LONE = 0;           // slot's `id` is its whole set
  static constexpr size_t MIN_CAPACITY = 8;
  static constexpr size_t NOT_FOUND = SIZE_MAX;
  static constexpr size_t PREFETCH_AHEAD = 32;

  struct Slot {
    Key key{};
    uint32_t id = 0;
    uint32_t set = FREE;  // FREE, LONE, or 1 + the position of the side set
  };
  // An entry set aside while the table is rebuilt, with its key's hash.
  struct Survivor {
    Slot slot;
    uint64_t hash;
  };

  size_t next(size_t pos) const { return pos + 1 == slots_.size() ? 0 : pos + 1; }
  // How far `to` lies after `from` along the probe order (which wraps around the table's end).
  size_t distance(size_t from, size_t to) const { return to >= from ? to - from : to + slots_.size() - from; }
  // A capacity that holds `entries` at two thirds full, as a table grown by half for them is.
  static size_t capacity_for(size_t entries) { return std::max(MIN_CAPACITY, entries + entries / 2 + 1); }
  size_t home_of(const Key& key) const { return home_of_hash(Hash{}(key)); }
  // Ahead of adding `key`: fetches the slot where its probe starts and the line after it (as the table fills, runs go
  // on past the home slot; a prefetch past the table's end is harmless), and the key's shared record, on which a
  // stored copy takes a count.
  void prefetch_for_add(const Key& key) const {
    const Slot* home = &slots_[home_of(key)];
    __builtin_prefetch(home);
    __builtin_prefetch(reinterpret_cast<const char*>(home) + 64);
    if constexpr (requires { key.prefetch(); }) key.prefetch();
  }
  size_t home_of_hash(uint64_t hash) const {
    return static_cast<size_t>((static_cast<unsigned __int128>(splitmix64(hash ^ seed_)) * slots_.size()) >> 64);
  }

  size_t find(const Key& key) const {
    if (entries_ == 0) return NOT_FOUND;
    for (size_t pos = home_of(key);; pos = next(pos)) {
      const Slot& slot = slots_[pos];
      if (slot.set == FREE) return NOT_FOUND;
      if (Equal{}(slot.key, key)) return pos;
    }
  }

  // The slot holding key, or the free slot where it belongs; the table grows first when one more entry would fill
  // more than 7/8 of it.
  size_t slot_for(const Key& key) {
    if ((entries_ + 1) * 8 > slots_.size() * 7) resize(std::max(MIN_CAPACITY, slots_.size() + slots_.size() / 2));
    size_t pos = home_of(key);
    while (slots_[pos].set != FREE && !Equal{}(slots_[pos].key, key)) pos = next(pos);
    return pos;
  }

  // Adds the ids of `ids` that `keep` holds (all without it) under key: one lookup for the whole set.
  void add_set(const Key& key, const ValueIds& ids, const IdFilter* keep) {
    ValueIds part;
    part.add_kept(ids, keep);
    const uint64_t count = part.cardinality();
    if (count == 0) return;
    if (count == 1) {
      add(key, part.first());
      return;
    }
    Slot& slot = slots_[slot_for(key)];
    if (slot.set == FREE) {
      const uint32_t number = sets_.take();
      sets_[number] = std::move(part);
      slot.key = key;
      slot.set = number;
      ++entries_;
      ++keys_made_;
      return;
    }
    if (slot.set == LONE) {
      part.add(slot.id);
      slot.set = sets_.take();
      sets_[slot.set] = std::move(part);
      return;
    }
    sets_[slot.set].add_kept(part, nullptr);
  }

  // Releases the key of a slot being emptied in a walk over the table (its probe run is rebuilt after the walk).
  static void drop_key(Slot& slot) {
    std::destroy_at(&slot.key);
    std::construct_at(&slot.key);
    slot.set = FREE;
  }

  // Empties slot pos and moves later members of its probe run back, so every lookup still meets its key before
  // a free slot.
  void erase_at(size_t pos) {
    slots_[pos] = Slot{};
    --entries_;
    ++keys_dropped_;
    for (size_t at = next(pos); slots_[at].set != FREE; at = next(at)) {
      const size_t home = home_of(slots_[at].key);
      // The entry at `at` may fill the hole unless its home lies cyclically in (pos, at].
      if (distance(home, at) >= distance(pos, at)) {
        slots_[pos] = std::move(slots_[at]);
        slots_[at] = Slot{};
        pos = at;
      }
    }
    if (slots_.size() > MIN_CAPACITY && entries_ * 8 < slots_.size()) resize(slots_.size() / 2);
    if (entries_ == 0) {
      slots_ = std::vector<Slot>();
      sets_ = ValueIdsPool();
    }
  }

  void resize(size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    for (Slot& slot : old) {
      if (slot.set == FREE) continue;
      size_t pos = home_of(slot.key);
      while (slots_[pos].set != FREE) pos = next(pos);
      slots_[pos] = std::move(slot);
    }
  }


  std::vector<Slot> slots_;
  ValueIdsPool sets_;
  size_t entries_ = 0;
  uint64_t keys_made_ = 0;
  uint64_t keys_dropped_ = 0;
  uint64_t seed_;
};

}  // namespace vostrel
