// HybridHashmap: a map with keys of its own, in one allocation: keys, values and (past 32 entries) a hash index. An
// object's attribute map keeps its keys here once they leave the shared shapes (see ShapedMap).
//
// Layout of the block: `capacity` keys, then `capacity` values, then, once the map has room for more than
// LINEAR_LIMIT entries, an open-addressing index of 1-, 2- or 4-byte slots (entry position + 1, 0 = empty) at most
// two thirds full.
// Entries stay in insertion order and are never removed, so iteration is the order in which each key first
// arrived, and lookups are a scan of at most 32 small keys (four at a compare) or one probe sequence in the index.
// No per-entry node, no second allocation, no spill into another structure. Maps of 9 to 32 entries would pay a byte
// per slot of an index for a lookup that a scan of their keys does as fast.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "index/core/structures/fx_hash.hpp"
#include "index/core/structures/shaped_map/key_shape.hpp"

namespace vostrel {

// Fx-style hasher for the index: FxU32Hash for 32-bit ids, the Fx hash of the integer for other integral keys,
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

// Map from K to V. Entries are only added or replaced. No lock of its own: the owner guards it.
template <class K, class V>
class HybridHashmap {
  static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                "entries are moved when the block grows");

 public:
  // Up to this many entries a lookup scans the keys; past it the block carries a hash index.
  static constexpr size_t LINEAR_LIMIT = 32;

  HybridHashmap() noexcept = default;
  HybridHashmap(const HybridHashmap& other) {
    if (other.len_ == 0) return;
    Block copy(other.len_);
    adopt(copy);  // len_ counts the entries copied so far, which destroy() releases on failure
    try {
      for (; len_ < other.len_; ++len_) {
        std::construct_at(copy.key(len_), *other.key_at(len_));
        try {
          std::construct_at(copy.value(len_), *other.value_at(len_));
        } catch (...) {
          std::destroy_at(copy.key(len_));
          throw;
        }
      }
    } catch (...) {
      destroy();
      throw;
    }
    copy.len = len_;
    copy.rebuild_index();
  }
  HybridHashmap(HybridHashmap&& other) noexcept
      : block_(other.take_block()),
        len_(std::exchange(other.len_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  HybridHashmap& operator=(const HybridHashmap& other) {
    if (this != &other) {
      HybridHashmap copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  HybridHashmap& operator=(HybridHashmap&& other) noexcept {
    if (this != &other) {
      // Take the new entries before destroying the old ones: a destructor may look at this map again.
      HybridHashmap old(std::move(*this));
      set_block(other.take_block());
      len_ = std::exchange(other.len_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~HybridHashmap() { destroy(); }

  // The value stored under `key`, or nullptr. The pointer is valid until the next insert.
  V* get(const K& key) { return const_cast<V*>(std::as_const(*this).get(key)); }
  const V* get(const K& key) const {
    size_t slot = find(key);
    return slot < len_ ? value_at(slot) : nullptr;
  }

  // Adds or replaces. Returns the replaced value (if any) instead of destroying it, so a caller holding the map's
  // lock can release it after unlocking (releasing a Python value may run arbitrary code). A replaced key keeps its
  // place. If an allocation fails the map is left as it was and `value` is destroyed.
  std::optional<V> insert(K key, V value) {
    size_t slot = find(key);
    if (slot < len_) return std::exchange(*value_at(slot), std::move(value));
    if (len_ == capacity_) grow(std::max<size_t>(4, capacity_ + capacity_ / 2));
    Block view = block();
    std::construct_at(view.key(len_), std::move(key));
    std::construct_at(view.value(len_), std::move(value));
    ++len_;
    view.len = len_;
    // A block with room for more than LINEAR_LIMIT entries always carries its index.
    if (view.has_index()) view.index_add(len_ - 1);
    return std::nullopt;
  }

  // Makes room for `count` entries in all (one allocation now instead of several while filling).
  void reserve(size_t count) {
    if (count > capacity_) grow(count);
  }

  // Number of entries.
  size_t len() const { return len_; }
  // Bytes of the block (0 while empty).
  size_t heap_bytes() const { return capacity_ == 0 ? 0 : Block::bytes_for(capacity_); }
  // Start of the block (null while empty), for prefetching ahead of a walk over many maps.
  // Read without the owner's lock (a hint only: the block may be gone by the time it is fetched, which a prefetch
  // does not mind), so the pointer is loaded and stored atomically.
  const void* storage() const noexcept { return __atomic_load_n(&block_, __ATOMIC_RELAXED); }

  // Calls f(const K&, const V&) for every entry, in the order each key was first inserted.
  template <class F>
  void for_each(F&& f) const {
    for (size_t slot = 0; slot < len_; ++slot) f(*key_at(slot), *value_at(slot));
  }

 private:
  // A view of one block with its capacity; knows the layout.
  struct Block {
    std::byte* base = nullptr;
    size_t capacity = 0;
    size_t len = 0;

    // A new block with room for `capacity` entries and an empty index; throws std::bad_alloc.
    explicit Block(size_t room) : capacity(room) {
      base = reinterpret_cast<std::byte*>(std::allocator<Unit>().allocate(units_for(room)));
      if (index_slots(room) != 0) std::memset(base + index_offset(room), 0, index_slots(room) * slot_width(room));
    }
    Block(std::byte* existing, size_t room, size_t entries) : base(existing), capacity(room), len(entries) {}

    static constexpr size_t ALIGN = std::max(alignof(K), alignof(V));
    // The allocation unit: blocks are arrays of it, so they are aligned for keys and values alike.
    struct alignas(ALIGN) Unit {
      std::byte bytes[ALIGN];
    };
    static size_t units_for(size_t room) { return (bytes_for(room) + ALIGN - 1) / ALIGN; }
    static size_t values_offset(size_t room) { return (room * sizeof(K) + alignof(V) - 1) / alignof(V) * alignof(V); }
    static size_t index_offset(size_t room) { return values_offset(room) + room * sizeof(V); }
    // At most two thirds full, so probe sequences stay short.
    static size_t index_slots(size_t room) { return room > LINEAR_LIMIT ? std::bit_ceil(room + room / 2) : 0; }
    static size_t slot_width(size_t room) { return room < 0xff ? 1 : room < 0xffff ? 2 : 4; }
    static size_t bytes_for(size_t room) { return index_offset(room) + index_slots(room) * slot_width(room); }

    K* key(size_t slot) const { return std::launder(reinterpret_cast<K*>(base) + slot); }
    V* value(size_t slot) const {
      return std::launder(reinterpret_cast<V*>(base + values_offset(capacity)) + slot);
    }
    bool has_index() const { return index_slots(capacity) != 0; }

    // Index slot `at` holds entry position + 1, or 0 when empty.
    size_t index_get(size_t at) const {
      const std::byte* slots = base + index_offset(capacity);
      switch (slot_width(capacity)) {
        case 1: return static_cast<uint8_t>(slots[at]);
        case 2: {
          uint16_t v;
          std::memcpy(&v, slots + at * 2, 2);
          return v;
        }
        default: {
          uint32_t v;
          std::memcpy(&v, slots + at * 4, 4);
          return v;
        }
      }
    }
    void index_set(size_t at, size_t entry_plus_one) const {
      std::byte* slots = base + index_offset(capacity);
      switch (slot_width(capacity)) {
        case 1: slots[at] = static_cast<std::byte>(entry_plus_one); break;
        case 2: {
          uint16_t v = static_cast<uint16_t>(entry_plus_one);
          std::memcpy(slots + at * 2, &v, 2);
          break;
        }
        default: {
          uint32_t v = static_cast<uint32_t>(entry_plus_one);
          std::memcpy(slots + at * 4, &v, 4);
        }
      }
    }
    // Linear probing from the key's hash.
    void index_add(size_t entry) const {
      const size_t mask = index_slots(capacity) - 1;
      size_t at = HybridKeyHash<K>{}(*key(entry)) & mask;
      while (index_get(at) != 0) at = (at + 1) & mask;
      index_set(at, entry + 1);
    }
    void rebuild_index() const {
      if (!has_index()) return;
      for (size_t entry = 0; entry < len; ++entry) index_add(entry);
    }
    size_t index_find(const K& wanted) const {
      const size_t mask = index_slots(capacity) - 1;
      for (size_t at = HybridKeyHash<K>{}(wanted) & mask;; at = (at + 1) & mask) {
        size_t entry = index_get(at);
        if (entry == 0) return len;
        if (*key(entry - 1) == wanted) return entry - 1;
      }
    }
    void free() const { std::allocator<Unit>().deallocate(reinterpret_cast<Unit*>(base), units_for(capacity)); }
  };

  Block block() const { return Block(block_, capacity_, len_); }
  K* key_at(size_t slot) const { return block().key(slot); }
  V* value_at(size_t slot) const { return block().value(slot); }

  // Slot of `key`, or len() when absent.
  size_t find(const K& key) const {
    if (len_ == 0) return 0;
    Block view = block();
    if (view.has_index()) return view.index_find(key);
    return scan(view.key(0), len_, key);
  }

  // Position of `key` among `count` keys, or count.
  static size_t scan(const K* keys, size_t count, const K& key) {
    if constexpr (std::is_same_v<K, uint32_t>) return find_u32(keys, count, key);
    size_t slot = 0;
    while (slot < count && !(keys[slot] == key)) ++slot;
    return slot;
  }

  // Moves the entries into a block with room for `room` entries (room >= len_).
  void grow(size_t room) {
    Block grown(room);  // the only step that can fail; nothing has changed yet
    Block old = block();
    for (; grown.len < len_; ++grown.len) {
      std::construct_at(grown.key(grown.len), std::move(*old.key(grown.len)));
      std::construct_at(grown.value(grown.len), std::move(*old.value(grown.len)));
      std::destroy_at(old.value(grown.len));
      std::destroy_at(old.key(grown.len));
    }
    grown.rebuild_index();
    if (block_ != nullptr) old.free();
    adopt(grown);
  }

  void set_block(std::byte* base) noexcept { __atomic_store_n(&block_, base, __ATOMIC_RELAXED); }
  std::byte* take_block() noexcept {
    std::byte* base = block_;
    set_block(nullptr);
    return base;
  }

  void adopt(const Block& built) {
    set_block(built.base);
    capacity_ = built.capacity;
    len_ = built.len;
  }

  void destroy() noexcept {
    if (block_ == nullptr) return;
    Block view = block();
    for (size_t slot = 0; slot < len_; ++slot) {
      std::destroy_at(view.value(slot));
      std::destroy_at(view.key(slot));
    }
    view.free();
    set_block(nullptr);
    len_ = 0;
    capacity_ = 0;
  }

  std::byte* block_ = nullptr;
  uint32_t len_ = 0;
  uint32_t capacity_ = 0;
};

}  // namespace vostrel
