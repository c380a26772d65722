// HybridHashmap: the attribute map of an object, 8 inline slots scanned linearly, then an Fx-hashed map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "index/fx_hash.hpp"

namespace vostrel {

// Fx-style hasher for the map form: FxU32Hash for 32-bit ids, the Fx hash of the integer for other integral keys,
// and the Fx hash of std::hash otherwise.
template <class K>
struct HybridKeyHash {
  size_t operator()(const K& key) const noexcept {
    if constexpr (std::is_same_v<K, uint32_t>) {
      return FxU32Hash{}(key);
    } else if constexpr (std::is_integral_v<K>) {
      return fx_hash_u64(static_cast<uint64_t>(key));
    } else {
      return fx_hash_u64(static_cast<uint64_t>(std::hash<K>{}(key)));
    }
  }
};

// Up to 8 entries in insertion order. Slots from len() on hold no object, so values are built and destroyed only
// for live entries (a value may own a Python reference).
template <class K, class V>
class SmallKVMap {
 public:
  static constexpr size_t CAPACITY = 8;

  SmallKVMap() = default;
  SmallKVMap(const SmallKVMap& other) {
    for (; len_ < other.len_; ++len_) {
      std::construct_at(key_ptr(len_), other.key_at(len_));
      try {
        std::construct_at(value_ptr(len_), other.value_at(len_));
      } catch (...) {
        std::destroy_at(key_ptr(len_));
        clear();
        throw;
      }
    }
  }
  SmallKVMap(SmallKVMap&& other) noexcept {
    for (; len_ < other.len_; ++len_) {
      std::construct_at(key_ptr(len_), std::move(other.key_at(len_)));
      std::construct_at(value_ptr(len_), std::move(other.value_at(len_)));
    }
    other.clear();
  }
  SmallKVMap& operator=(const SmallKVMap& other) {
    if (this != &other) {
      SmallKVMap copy(other);
      clear();
      *this = std::move(copy);
    }
    return *this;
  }
  SmallKVMap& operator=(SmallKVMap&& other) noexcept {
    if (this != &other) {
      clear();
      for (; len_ < other.len_; ++len_) {
        std::construct_at(key_ptr(len_), std::move(other.key_at(len_)));
        std::construct_at(value_ptr(len_), std::move(other.value_at(len_)));
      }
      other.clear();
    }
    return *this;
  }
  ~SmallKVMap() { clear(); }

  // Slot of `key`, or len() when absent.
  size_t find(const K& key) const {
    size_t slot = 0;
    while (slot < len_ && !(key_at(slot) == key)) ++slot;
    return slot;
  }
  // Appends a new entry; requires len() < CAPACITY and `key` absent.
  void push(K key, V value) {
    std::construct_at(key_ptr(len_), std::move(key));
    try {
      std::construct_at(value_ptr(len_), std::move(value));
    } catch (...) {
      std::destroy_at(key_ptr(len_));
      throw;
    }
    ++len_;
  }
  // Destroys every entry (used after the values were moved out).
  void clear() noexcept {
    while (len_ > 0) {
      --len_;
      std::destroy_at(value_ptr(len_));
      std::destroy_at(key_ptr(len_));
    }
  }

  size_t len() const { return len_; }
  const K& key_at(size_t slot) const { return *std::launder(reinterpret_cast<const K*>(keys_ + slot * sizeof(K))); }
  K& key_at(size_t slot) { return *key_ptr(slot); }
  const V& value_at(size_t slot) const {
    return *std::launder(reinterpret_cast<const V*>(values_ + slot * sizeof(V)));
  }
  V& value_at(size_t slot) { return *value_ptr(slot); }

 private:
  K* key_ptr(size_t slot) { return std::launder(reinterpret_cast<K*>(keys_ + slot * sizeof(K))); }
  V* value_ptr(size_t slot) { return std::launder(reinterpret_cast<V*>(values_ + slot * sizeof(V))); }

  alignas(K) unsigned char keys_[CAPACITY * sizeof(K)];
  alignas(V) unsigned char values_[CAPACITY * sizeof(V)];
  size_t len_ = 0;
};

// Map from K to V that starts as a SmallKVMap and becomes an unordered_map (Fx hash) when a ninth distinct key
// arrives; it never goes back. Entries are only added or replaced. No lock of its own: the owner guards it.
template <class K, class V>
class HybridHashmap {
 public:
  using Small = SmallKVMap<K, V>;
  using Map = std::unordered_map<K, V, HybridKeyHash<K>>;

  // Room the map form is created with when it replaces the small form.
  static constexpr size_t MAP_INITIAL_ROOM = 28;

  // The value stored under `key`, or nullptr. The pointer is valid until the next insert.
  V* get(const K& key) {
    return const_cast<V*>(std::as_const(*this).get(key));
  }
  const V* get(const K& key) const {
    if (const Small* small = std::get_if<Small>(&form_)) {
      size_t slot = small->find(key);
      return slot < small->len() ? &small->value_at(slot) : nullptr;
    }
    const Map& map = std::get<Map>(form_);
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
  }

  // Adds or replaces. Returns the replaced value (if any) instead of destroying it, so a caller holding the map's
  // lock can release it after unlocking (releasing a Python value may run arbitrary code). A replaced key keeps its
  // slot. The ninth distinct key moves the 8 entries, in slot order, into the map form. If an allocation fails the
  // map is left as it was and `value` is destroyed.
  std::optional<V> insert(K key, V value) {
    if (Small* small = std::get_if<Small>(&form_)) {
      size_t slot = small->find(key);
      if (slot < small->len()) return std::exchange(small->value_at(slot), std::move(value));
      if (small->len() < Small::CAPACITY) {
        small->push(std::move(key), std::move(value));
        return std::nullopt;
      }
      grow_into_map(*small, std::move(key), std::move(value));
      return std::nullopt;
    }
    Map& map = std::get<Map>(form_);
    auto [it, inserted] = map.try_emplace(std::move(key), std::move(value));
    if (inserted) return std::nullopt;
    // try_emplace leaves `value` untouched when the key exists.
    return std::exchange(it->second, std::move(value));
  }

  // Number of entries.
  size_t len() const {
    if (const Small* small = std::get_if<Small>(&form_)) return small->len();
    return std::get<Map>(form_).size();
  }
  // True while the map is in its inline form.
  bool is_small() const { return std::holds_alternative<Small>(form_); }

  // Calls f(const K&, const V&) for every entry: insertion order in the small form, the hash map's bucket order
  // (stable while the map is unchanged) in the map form.
  template <class F>
  void for_each(F&& f) const {
    if (const Small* small = std::get_if<Small>(&form_)) {
      for (size_t slot = 0; slot < small->len(); ++slot) f(small->key_at(slot), small->value_at(slot));
      return;
    }
    for (const auto& [key, value] : std::get<Map>(form_)) f(key, value);
  }

 private:
  void grow_into_map(Small& small, K key, V value) {
    Map map;
    map.reserve(MAP_INITIAL_ROOM);
    size_t moved = 0;
    try {
      for (; moved < small.len(); ++moved) {
        // Keys are copied (they are small ids) so a failure can still find the moved values by key.
        map.emplace(small.key_at(moved), std::move(small.value_at(moved)));
      }
      map.emplace(std::move(key), std::move(value));
    } catch (...) {
      // Put the moved entries back so a failed allocation changes nothing.
      for (size_t slot = 0; slot < moved; ++slot) {
        auto it = map.find(small.key_at(slot));
        small.value_at(slot) = std::move(it->second);
      }
      throw;
    }
    form_.template emplace<Map>(std::move(map));  // destroys the moved-from small entries
  }

  std::variant<Small, Map> form_;
};

}  // namespace vostrel
