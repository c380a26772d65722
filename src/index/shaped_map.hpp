// ShapedMap: the attribute map of an object: its values, in one block, and the shared shape naming their keys.
//
// Layout (16 bytes in the object):
//   - shared keys: `shape_` is a KeyShape (the root while empty) and `data_` a block holding its capacity, then the
//     values in the order of the shape's keys;
//   - own keys: `shape_` is null and `data_` a HybridHashmap, for maps the shape tree will not take (more than
//     KeyShape::MAX_KEYS attributes, a rare order, or a tree at its bound). A map that leaves the tree stays out.
// A flights row (19 attributes) thus pays 16 bytes a value instead of 20, in one allocation, and a walk over many
// objects reads the few shapes they share from the cache instead of each object's keys from memory.
// Entries are only added or replaced, in insertion order, as HybridHashmap's are. No lock of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "index/hybrid_hashmap.hpp"
#include "index/key_shape.hpp"

namespace vostrel {

template <class V>
class ShapedMap {
  static_assert(std::is_nothrow_move_constructible_v<V>, "values are moved when the block grows");
  using OwnKeys = HybridHashmap<uint32_t, V>;

 public:
  ShapedMap() noexcept = default;
  ShapedMap(const ShapedMap& other) {
    if (other.own_keys()) {
      set_data(reinterpret_cast<std::byte*>(std::make_unique<OwnKeys>(*other.own()).release()));
      shape_ = nullptr;
      return;
    }
    if (other.data_ == nullptr) return;
    Values copy(other.shape_->size());
    for (; copy.len < other.shape_->size(); ++copy.len) std::construct_at(copy.at(copy.len), *other.value(copy.len));
    set_data(copy.release());
    shape_ = other.shape_;
  }
  ShapedMap(ShapedMap&& other) noexcept
      : data_(other.take_data()), shape_(std::exchange(other.shape_, KeyShape::root())) {}
  ShapedMap& operator=(const ShapedMap& other) {
    if (this != &other) {
      ShapedMap copy(other);
      *this = std::move(copy);
    }
    return *this;
  }
  ShapedMap& operator=(ShapedMap&& other) noexcept {
    if (this != &other) {
      // Take the new entries before destroying the old ones: a destructor may look at this map again.
      ShapedMap old(std::move(*this));
      set_data(other.take_data());
      shape_ = std::exchange(other.shape_, KeyShape::root());
    }
    return *this;
  }
  ~ShapedMap() { destroy(); }

  // The value stored under `key`, or nullptr. The pointer is valid until the next insert.
  V* get(uint32_t key) { return const_cast<V*>(std::as_const(*this).get(key)); }
  const V* get(uint32_t key) const {
    if (own_keys()) return own()->get(key);
    const size_t at = shape_->find(key);
    return at < shape_->size() ? value(at) : nullptr;
  }

  // Adds or replaces. Returns the replaced value (if any) instead of destroying it, so a caller holding the map's
  // lock can release it after unlocking (releasing a Python value may run arbitrary code). A replaced key keeps its
  // place. If an allocation fails the map is left as it was and `value` is destroyed.
  std::optional<V> insert(uint32_t key, V value) {
    if (own_keys()) return own()->insert(key, std::move(value));
    const size_t len = shape_->size();
    const size_t at = shape_->find(key);
    if (at < len) return std::exchange(*this->value(at), std::move(value));
    const KeyShape* next = shape_->with(key);
    if (next == nullptr) {
      leave_tree(len + 1);
      return own()->insert(key, std::move(value));
    }
    if (len == capacity()) grow(room_after(len, *next));
    std::construct_at(this->value(len), std::move(value));
    shape_ = next;
    return std::nullopt;
  }

  // Makes room for `count` entries in all (one allocation now instead of several while filling).
  void reserve(size_t count) {
    if (own_keys()) {
      own()->reserve(count);
    } else if (count > KeyShape::MAX_KEYS) {
      leave_tree(count);
    } else if (count > capacity()) {
      grow(count);
    }
  }

  // Number of entries.
  size_t len() const { return own_keys() ? own()->len() : shape_->size(); }
  // Bytes of the map's own blocks (0 while empty); shared shapes are not counted.
  size_t heap_bytes() const {
    if (own_keys()) return sizeof(OwnKeys) + own()->heap_bytes();
    return data_ == nullptr ? 0 : Values::bytes_for(capacity());
  }
  // Whether the keys are a shared shape's (tests).
  bool shares_keys() const { return !own_keys(); }
  // Start of the values (null while empty), for prefetching ahead of a walk over many maps.
  // Read without the owner's lock (a hint only: the block may be gone by the time it is fetched, which a prefetch
  // does not mind), so the pointer is loaded and stored atomically.
  const void* storage() const noexcept { return __atomic_load_n(&data_, __ATOMIC_RELAXED); }

  // Calls f(const uint32_t&, const V&) for every entry, in the order each key was first inserted.
  template <class F>
  void for_each(F&& f) const {
    if (own_keys()) return own()->for_each(f);
    const size_t len = shape_->size();
    const uint32_t* keys = shape_->keys();
    for (size_t at = 0; at < len; ++at) f(keys[at], *value(at));
  }

 private:
  // A block of values: its capacity, then the values. Built here, then handed to the map (which frees it).
  struct Values {
    struct alignas(std::max(alignof(V), alignof(uint64_t))) Unit {
      std::byte bytes[std::max(alignof(V), alignof(uint64_t))];
    };
    static constexpr size_t HEADER = sizeof(Unit) >= sizeof(uint64_t) ? sizeof(Unit) : sizeof(uint64_t);
    static size_t bytes_for(size_t room) { return HEADER + room * sizeof(V); }
    static size_t units_for(size_t room) { return (bytes_for(room) + sizeof(Unit) - 1) / sizeof(Unit); }

    std::byte* base = nullptr;
    size_t len = 0;  // values constructed so far (destroyed if the block is dropped unreleased)

    // Throws std::bad_alloc.
    explicit Values(size_t room) {
      base = reinterpret_cast<std::byte*>(std::allocator<Unit>().allocate(units_for(room)));
      const uint64_t stored = room;
      std::memcpy(base, &stored, sizeof(stored));
    }
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    ~Values() {
      if (base == nullptr) return;
      std::destroy_n(at(0), len);
      free(base);
    }
    V* at(size_t slot) const { return std::launder(reinterpret_cast<V*>(base + HEADER) + slot); }
    std::byte* release() { return std::exchange(base, nullptr); }

    static size_t capacity_of(const std::byte* block) {
      uint64_t stored;
      std::memcpy(&stored, block, sizeof(stored));
      return static_cast<size_t>(stored);
    }
    static void free(std::byte* block) {
      std::allocator<Unit>().deallocate(reinterpret_cast<Unit*>(block), units_for(capacity_of(block)));
    }
  };

  bool own_keys() const noexcept { return shape_ == nullptr; }
  OwnKeys* own() const noexcept { return reinterpret_cast<OwnKeys*>(data_); }
  size_t capacity() const noexcept { return data_ == nullptr ? 0 : Values::capacity_of(data_); }
  V* value(size_t slot) const noexcept {
    return std::launder(reinterpret_cast<V*>(data_ + Values::HEADER) + slot);
  }

  // Room for a full block of `len` values about to take the step to `next`: as far as maps that took that step went,
  // when that is at most twice as far (objects of a class fill one block at once, after a few small ones), else half
  // again as much.
  static size_t room_after(size_t len, const KeyShape& next) {
    const size_t reach = next.reach();
    if (reach <= 2 * (len + 1)) return reach;
    return std::min(KeyShape::MAX_KEYS, std::max<size_t>(4, len + len / 2));
  }

  // Moves the values into a block with room for `room` of them (room >= len()).
  void grow(size_t room) {
    Values grown(room);  // the only step that can fail; nothing has changed yet
    const size_t len = shape_->size();
    for (; grown.len < len; ++grown.len) {
      std::construct_at(grown.at(grown.len), std::move(*value(grown.len)));
      std::destroy_at(value(grown.len));
    }
    if (data_ != nullptr) Values::free(data_);
    set_data(grown.release());
  }

  // Moves the entries into a map of their own with room for `room` entries.
  void leave_tree(size_t room) {
    auto keyed = std::make_unique<OwnKeys>();
    keyed->reserve(room);  // the only step that can fail; nothing has changed yet
    const size_t len = shape_->size();
    for (size_t at = 0; at < len; ++at) keyed->insert(shape_->key(at), std::move(*value(at)));
    destroy();
    set_data(reinterpret_cast<std::byte*>(keyed.release()));  // freed by destroy()
    shape_ = nullptr;
  }

  void set_data(std::byte* data) noexcept { __atomic_store_n(&data_, data, __ATOMIC_RELAXED); }
  std::byte* take_data() noexcept {
    std::byte* data = data_;
    set_data(nullptr);
    return data;
  }

  void destroy() noexcept {
    if (data_ == nullptr) {
      shape_ = KeyShape::root();
      return;
    }
    if (own_keys()) {
      std::unique_ptr<OwnKeys> keyed(own());
    } else {
      std::destroy_n(value(0), shape_->size());
      Values::free(data_);
    }
    set_data(nullptr);
    shape_ = KeyShape::root();
  }

  std::byte* data_ = nullptr;
  const KeyShape* shape_ = KeyShape::root();
};

}  // namespace vostrel
