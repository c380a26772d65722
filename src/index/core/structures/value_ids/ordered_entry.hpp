// OrderedEntry: one key of an OrderedIdMap with either its one id or the number of its side set.
#pragma once

#include <cstdint>

#include "index/core/structures/ordered_bitmap/ordered_key.hpp"

namespace vostrel {

// One key of the map: the key and either its one id or the number of its side set.
template <class Key>
class OrderedEntry {
 public:
  OrderedEntry() = default;
  OrderedEntry(const Key& key, uint32_t lone_id) : key_(key), id_(lone_id) {}
  static OrderedEntry with_set(const Key& key, uint32_t set) {
    OrderedEntry entry(key, 0);
    entry.set_ = set;
    return entry;
  }
  const Key& key() const { return key_; }
  bool lone() const { return set_ == 0; }
  uint32_t id() const { return id_; }    // of a lone entry
  uint32_t set() const { return set_; }  // of an entry with a side set: 1 + its position in the pool
  void make_lone(uint32_t id) {
    id_ = id;
    set_ = 0;
  }
  void make_set(uint32_t set) { set_ = set; }

 private:
  Key key_{};
  uint32_t id_ = 0;
  uint32_t set_ = 0;
};

// A number's key leaves six bytes of padding: the id or the set number and the flag telling them apart go there, so
// an entry takes 16 bytes instead of 24 (a map of a million distinct numbers holds a million entries).
template <>
class OrderedEntry<OrderedKey> {
 public:
  OrderedEntry() = default;
  OrderedEntry(const OrderedKey& key, uint32_t lone_id) : m_(key.m), e_(key.e), word_(lone_id) {}
  static OrderedEntry with_set(const OrderedKey& key, uint32_t set) {
    OrderedEntry entry(key, 0);
    entry.make_set(set);
    return entry;
  }
  OrderedKey key() const { return OrderedKey{m_, e_}; }
  bool lone() const { return has_set_ == 0; }
  uint32_t id() const { return word_; }
  uint32_t set() const { return word_; }
  void make_lone(uint32_t id) {
    word_ = id;
    has_set_ = 0;
  }
  void make_set(uint32_t set) {
    word_ = set;
    has_set_ = 1;
  }

 private:
  uint64_t m_ = 0;
  uint16_t e_ = 0;
  uint16_t has_set_ = 0;
  uint32_t word_ = 0;  // the lone id, or the set number
};
static_assert(sizeof(OrderedEntry<OrderedKey>) == 16);

}  // namespace vostrel
