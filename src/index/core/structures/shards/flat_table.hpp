// FlatTable: an open-addressed hash table in one block (each shard of a ShardedHashMap, a value map's element
// records by owner).
//
// Layout: an array of (key, value) pairs beside an array of one state byte per slot (free, erased, or full with 7
// bits of the key's hash), linear probing, at most 7/8 of the slots full or erased. A key's home slot is the high
// half of its hash times the capacity, so the capacity need not be a power of two: the table grows by half, not by
// double, which keeps it fuller on average (these tables hold one entry per nested object or list owner). A node-based table pays an allocation, a pointer
// chase and a division per insert; here an insert is a probe along one array. Erasing leaves a marker (the pair is
// reset to its empty value at once, so nothing it held is kept), so iterators stay valid across erase() and a walk
// that erases as it goes sees every entry once; markers are cleared when the table is rebuilt on a later insert.
//
// The subset of std::unordered_map the shards' users call: find, end, begin, iteration over pair<K, V>&, emplace,
// try_emplace, operator[], erase(iterator) returning the next entry, size, empty. A key must not be changed through
// an iterator.
// `Hash` gives a well-mixed 64-bit hash (the map seeds and mixes its own), `Equal` compares keys; K and V must be
// default-constructible (an empty slot holds default values) and nothrow-movable.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vostrel {

template <class K, class V, class Hash, class Equal>
class FlatTable {
  static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V> &&
                    std::is_nothrow_move_assignable_v<K> && std::is_nothrow_move_assignable_v<V>,
                "entries move when the table is rebuilt");

 public:
  using value_type = std::pair<K, V>;

  template <bool Const>
  class Iterator {
   public:
    using Table = std::conditional_t<Const, const FlatTable, FlatTable>;
    using iterator_category = std::forward_iterator_tag;
    using value_type = FlatTable::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = std::conditional_t<Const, const value_type&, value_type&>;
    using pointer = std::conditional_t<Const, const value_type*, value_type*>;

    Iterator() = default;
    Iterator(Table* table, size_t slot) : table_(table), slot_(slot) { skip_to_full(); }
    // A mutable iterator converts to a const one.
    template <bool WasConst, class = std::enable_if_t<Const && !WasConst>>
    Iterator(const Iterator<WasConst>& other) : table_(other.table_), slot_(other.slot_) {}

    reference operator*() const { return table_->slots_[slot_]; }
    pointer operator->() const { return &table_->slots_[slot_]; }
    Iterator& operator++() {
      ++slot_;
      skip_to_full();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.slot_ == b.slot_; }

   private:
    friend class FlatTable;
    template <bool>
    friend class Iterator;
    void skip_to_full() {
      while (slot_ < table_->states_.size() && !is_full(table_->states_[slot_])) ++slot_;
    }
    Table* table_ = nullptr;
    size_t slot_ = 0;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  FlatTable() = default;
  // `hash` is kept and used for every key; the bucket count is only for the std::unordered_map-shaped constructor
  // the shards use (a table starts empty and sizes itself).
  FlatTable(size_t /*bucket_count*/, const Hash& hash) : hash_(hash) {}

  iterator begin() { return iterator(this, 0); }
  iterator end() { return iterator(this, states_.size()); }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, states_.size()); }

  size_t size() const { return full_; }
  bool empty() const { return full_ == 0; }
  // Slots of the table (for memory accounting and tests).
  size_t capacity() const { return states_.size(); }

  iterator find(const K& key) {
    const size_t slot = find_slot(key);
    return slot == NOT_FOUND ? end() : iterator(this, slot);
  }
  const_iterator find(const K& key) const {
    const size_t slot = find_slot(key);
    return slot == NOT_FOUND ? end() : const_iterator(this, slot);
  }

  // Fetches the slots where a lookup of key starts: a run of inserts into a large table asks some keys ahead, so that
  // their misses overlap.
  void prefetch(const K& key) const {
    if (states_.empty()) return;
    const size_t home = home_of(hash_(key));
    __builtin_prefetch(&states_[home]);
    __builtin_prefetch(&slots_[home]);
  }

  // The entry of key, made with a default value when absent; `second` tells whether it was made.
  std::pair<iterator, bool> try_emplace(const K& key) {
    if (const size_t slot = find_slot(key); slot != NOT_FOUND) return {iterator(this, slot), false};
    const size_t slot = place(key);
    return {iterator(this, slot), true};
  }

  V& operator[](const K& key) { return try_emplace(key).first->second; }

  // Adds (key, value) when key is absent; otherwise changes nothing.
  std::pair<iterator, bool> emplace(const K& key, V value) {
    auto [at, made] = try_emplace(key);
    if (made) at->second = std::move(value);
    return {at, made};
  }

  // Rebuilds a table that erasing has left mostly empty at the size its entries need (never during a walk: the
  // walk's iterators would go stale).
  void compact_if_sparse() {
    if (states_.size() <= MIN_CAPACITY || full_ * 4 >= states_.size()) return;
    if (full_ == 0) {
      slots_ = std::vector<value_type>();
      states_ = std::vector<uint8_t>();
      erased_ = 0;
      return;
    }
    try {
      rebuild(std::max(MIN_CAPACITY, full_ * 2));
    } catch (const std::bad_alloc&) {
      // Compacting only saves memory: without room for the smaller table the entries stay where they are.
    }
  }

  // Removes the entry at `at` and returns the next one.
  iterator erase(iterator at) {
    const size_t slot = at.slot_;
    slots_[slot] = value_type();
    states_[slot] = ERASED;
    --full_;
    ++erased_;
    return iterator(this, slot + 1);
  }

 private:
  // A full slot's state byte carries the top 7 bits of its key's hash, so a probe compares a key only when those
  // agree (about one in 128 other keys): a probe run costs a walk along the state bytes, not a visit to each key.
  static constexpr uint8_t FREE = 0;
  static constexpr uint8_t ERASED = 1;
  static constexpr uint8_t FULL_BIT = 0x80;
  static bool is_full(uint8_t state) { return (state & FULL_BIT) != 0; }
  // The low bits: the home comes from the high ones, so the tag tells apart keys that share a probe run.
  static uint8_t tag_of(uint64_t hash) { return static_cast<uint8_t>(FULL_BIT | (hash & 0x7f)); }
  static constexpr size_t MIN_CAPACITY = 8;
  static constexpr size_t NOT_FOUND = SIZE_MAX;

  size_t home_of(uint64_t hash) const {
    return static_cast<size_t>((static_cast<unsigned __int128>(hash) * states_.size()) >> 64);
  }
  size_t next_slot(size_t slot) const { return slot + 1 == states_.size() ? 0 : slot + 1; }

  size_t find_slot(const K& key) const {
    if (full_ == 0) return NOT_FOUND;
    const uint64_t hash = hash_(key);
    const uint8_t tag = tag_of(hash);
    for (size_t slot = home_of(hash);; slot = next_slot(slot)) {
      if (states_[slot] == FREE) return NOT_FOUND;
      if (states_[slot] == tag && Equal{}(slots_[slot].first, key)) return slot;
    }
  }

  // Puts an absent key into the first free or erased slot of its probe run, growing (or clearing markers) first
  // when the table would pass 7/8.
  size_t place(const K& key) {
    if ((full_ + erased_ + 1) * 8 > states_.size() * 7) {
      size_t capacity = std::max(MIN_CAPACITY, states_.size());
      // Grow by half while live entries would fill more than two thirds; otherwise only the markers go.
      while ((full_ + 1) * 3 > capacity * 2) capacity += capacity / 2;
      rebuild(capacity);
    }
    const uint64_t hash = hash_(key);
    size_t slot = home_of(hash);
    while (is_full(states_[slot])) slot = next_slot(slot);
    if (states_[slot] == ERASED) --erased_;
    states_[slot] = tag_of(hash);
    slots_[slot].first = key;
    ++full_;
    return slot;
  }

  void rebuild(size_t capacity) {
    // Both new arrays are made before either replaces the old: a failure (memory) leaves the table as it was.
    std::vector<value_type> new_slots(capacity);
    std::vector<uint8_t> new_states(capacity, FREE);
    std::vector<value_type> old_slots = std::exchange(slots_, std::move(new_slots));
    std::vector<uint8_t> old_states = std::exchange(states_, std::move(new_states));
    erased_ = 0;
    for (size_t slot = 0; slot < old_states.size(); ++slot) {
      if (!is_full(old_states[slot])) continue;
      // The tag keeps only seven bits of the hash: the key is hashed again for its home.
      size_t to = home_of(hash_(old_slots[slot].first));
      while (states_[to] != FREE) to = next_slot(to);
      states_[to] = old_states[slot];
      slots_[to] = std::move(old_slots[slot]);
    }
  }

  std::vector<value_type> slots_;
  std::vector<uint8_t> states_;
  size_t full_ = 0;
  size_t erased_ = 0;
  [[no_unique_address]] Hash hash_{};
};

}  // namespace vostrel
