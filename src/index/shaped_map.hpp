// ShapedMap: the attribute map of an object: its values, in one block, and the shared shape naming their keys.
//
// Layout (16 bytes in the object):
//   - shared keys: `shape_` is a KeyShape (the root while empty) and `data_` a block holding its capacity and form,
//     then the values in the order of the shape's keys. Packed form: while every value has a one-word form
//     (ValuePacking), the block holds words, half the size; the first value without one widens the block for good.
//   - own keys: `shape_` is null and `data_` a HybridHashmap, for maps the shape tree will not take (more than
//     KeyShape::MAX_KEYS attributes, a rare order, or a tree at its bound). A map that leaves the tree stays out.
// A flights row (19 attributes) thus pays 8 bytes a value (16 once a value has no word form) instead of 20 for a
// key and a value, in one allocation, and a walk over many objects reads the few shapes they share from the cache
// instead of each object's keys from memory.
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
#include "index/value_packing.hpp"

namespace vostrel {

template <class V>
class ShapedMap {
  static_assert(std::is_nothrow_move_constructible_v<V>, "values are moved when the block grows");
  using OwnKeys = HybridHashmap<uint32_t, V>;
  using Packing = ValuePacking<V>;

 public:
  using Ref = PackedRef<V>;

  ShapedMap() noexcept = default;
  ShapedMap(const ShapedMap& other) {
    if (other.own_keys()) {
      set_data(reinterpret_cast<std::byte*>(std::make_unique<OwnKeys>(*other.own()).release()));
      shape_ = nullptr;
      return;
    }
    if (other.data_ == nullptr) return;
    const size_t len = other.shape_->size();
    Values copy(len, other.packed());
    for (; copy.len < len; ++copy.len) {
      if (copy.packed) {
        Packing::retain(other.word(copy.len));
        copy.words()[copy.len] = other.word(copy.len);
      } else {
        std::construct_at(copy.at(copy.len), *other.value(copy.len));
      }
    }
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

  // The value stored under `key` (empty when absent). Valid until the map changes.
  Ref get(uint32_t key) const {
    if (own_keys()) return Ref(own()->get(key));
    const size_t at = shape_->find(key);
    if (at >= shape_->size()) return Ref();
    if (packed()) return Ref(word(at));
    return Ref(value(at));
  }

  // Adds or replaces. Returns the replaced value (if any) instead of destroying it, so a caller holding the map's
  // lock can release it after unlocking (releasing a Python value may run arbitrary code). A replaced key keeps its
  // place. If an allocation fails the map is left as it was and `value` is destroyed.
  std::optional<V> insert(uint32_t key, V value) {
    if (own_keys()) return own()->insert(key, std::move(value));
    const size_t len = shape_->size();
    const size_t at = shape_->find(key);
    const KeyShape* next = nullptr;
    if (at == len) {
      next = shape_->with(key);
      if (next == nullptr) {
        leave_tree(len + 1);
        return own()->insert(key, std::move(value));
      }
    }
    // Every allocation comes first: nothing changes unless all of them succeed.
    const std::optional<uint64_t> packed_value = packed() ? Packing::word_of(value) : std::nullopt;
    const bool widen = packed() && !packed_value;
    if (at == len && len == capacity()) {
      rebuild(room_after(len, *next), packed() && !widen);
    } else if (widen) {
      rebuild(capacity(), false);
    }
    if (at < len) {
      if (!packed()) return std::exchange(*this->value(at), std::move(value));
      std::optional<V> old(Packing::unpack(word(at)));
      words()[at] = *packed_value;
      Packing::give_to_word(std::move(value));
      return old;
    }
    if (packed()) {
      words()[len] = *packed_value;
      Packing::give_to_word(std::move(value));
    } else {
      std::construct_at(this->value(len), std::move(value));
    }
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
      rebuild(count, data_ == nullptr || packed());
    }
  }

  // Number of entries.
  size_t len() const { return own_keys() ? own()->len() : shape_->size(); }
  // Bytes of the map's own blocks (0 while empty); shared shapes are not counted.
  size_t heap_bytes() const {
    if (own_keys()) return sizeof(OwnKeys) + own()->heap_bytes();
    return data_ == nullptr ? 0 : Values::bytes_for(capacity(), packed());
  }
  // Whether the keys are a shared shape's, and whether the values are packed (tests).
  bool shares_keys() const { return !own_keys(); }
  bool packs_values() const { return !own_keys() && data_ != nullptr && packed(); }
  // Start of the values (null while empty), for prefetching ahead of a walk over many maps.
  // Read without the owner's lock (a hint only: the block may be gone by the time it is fetched, which a prefetch
  // does not mind), so the pointer is loaded and stored atomically.
  const void* storage() const noexcept { return __atomic_load_n(&data_, __ATOMIC_RELAXED); }

  // Calls f(const uint32_t&, const V&) for every entry, in the order each key was first inserted. A packed value
  // is handed over as a borrowed view: valid during the call (copy it to keep it).
  template <class F>
  void for_each(F&& f) const {
    if (own_keys()) return own()->for_each(f);
    const size_t len = shape_->size();
    const uint32_t* keys = shape_->keys();
    if (packed()) {
      for (size_t at = 0; at < len; ++at) {
        const Ref entry(word(at));
        f(keys[at], *entry);
      }
      return;
    }
    for (size_t at = 0; at < len; ++at) f(keys[at], *value(at));
  }

  // Calls f(const V&) for every value that may hold a shared part (every value of a wide block, the words that name
  // one in a packed block): for walks that look only for references, such as the cycle collector's.
  template <class F>
  void for_each_shared(F&& f) const {
    if (own_keys() || !packed()) return for_each([&](const uint32_t&, const V& value) { f(value); });
    for (size_t at = 0; at < shape_->size(); ++at) {
      if (!Packing::names_shared(word(at))) continue;
      const Ref entry(word(at));
      f(*entry);
    }
  }

  // Asks the processor for the shared parts of every value (V::prefetch), ahead of a walk that reads them; packed
  // words are not unpacked for it (unpacking reads the record it names).
  void prefetch_values() const {
    if (!own_keys() && packed()) {
      for (size_t at = 0; at < shape_->size(); ++at) Packing::prefetch(word(at));
      return;
    }
    for_each([](const uint32_t&, const V& value) { value.prefetch(); });
  }

 private:
  // A block of values: a header (capacity, form), then the values or their words. Built here, then handed to the
  // map (which frees it).
  struct Values {
    struct alignas(std::max(alignof(V), alignof(uint64_t))) Unit {
      std::byte bytes[std::max(alignof(V), alignof(uint64_t))];
    };
    struct Header {
      uint32_t capacity;
      uint32_t packed;
    };
    static constexpr size_t HEADER = sizeof(Unit) >= sizeof(Header) ? sizeof(Unit) : sizeof(Header);
    static size_t bytes_for(size_t room, bool packed) {
      return HEADER + room * (packed ? sizeof(uint64_t) : sizeof(V));
    }
    static size_t units_for(size_t room, bool packed) {
      return (bytes_for(room, packed) + sizeof(Unit) - 1) / sizeof(Unit);
    }

    std::byte* base = nullptr;
    bool packed = false;
    size_t len = 0;  // values constructed so far (destroyed if the block is dropped unreleased)

    // Throws std::bad_alloc.
    Values(size_t room, bool packed_words) : packed(packed_words) {
      base = reinterpret_cast<std::byte*>(std::allocator<Unit>().allocate(units_for(room, packed)));
      const Header header{static_cast<uint32_t>(room), packed ? 1u : 0u};
      std::memcpy(base, &header, sizeof(header));
    }
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    ~Values() {
      if (base == nullptr) return;
      if (packed) {
        for (size_t slot = 0; slot < len; ++slot) Packing::release(words()[slot]);
      } else {
        std::destroy_n(at(0), len);
      }
      free(base);
    }
    V* at(size_t slot) const { return std::launder(reinterpret_cast<V*>(base + HEADER) + slot); }
    uint64_t* words() const { return reinterpret_cast<uint64_t*>(base + HEADER); }
    std::byte* release() { return std::exchange(base, nullptr); }

    static Header header_of(const std::byte* block) {
      Header header;
      std::memcpy(&header, block, sizeof(header));
      return header;
    }
    static void free(std::byte* block) {
      const Header header = header_of(block);
      std::allocator<Unit>().deallocate(reinterpret_cast<Unit*>(block), units_for(header.capacity, header.packed != 0));
    }
  };

  bool own_keys() const noexcept { return shape_ == nullptr; }
  OwnKeys* own() const noexcept { return reinterpret_cast<OwnKeys*>(data_); }
  size_t capacity() const noexcept { return data_ == nullptr ? 0 : Values::header_of(data_).capacity; }
  // An empty map has no block yet: its first values are packed when they can be.
  bool packed() const noexcept { return data_ == nullptr ? Packing::ENABLED : Values::header_of(data_).packed != 0; }
  V* value(size_t slot) const noexcept { return std::launder(reinterpret_cast<V*>(data_ + Values::HEADER) + slot); }
  uint64_t* words() const noexcept { return reinterpret_cast<uint64_t*>(data_ + Values::HEADER); }
  uint64_t word(size_t slot) const noexcept { return words()[slot]; }

  // Room for a full block of `len` values about to take the step to `next`: as far as maps that took that step went,
  // when that is at most twice as far (objects of a class fill one block at once, after a few small ones), else half
  // again as much.
  static size_t room_after(size_t len, const KeyShape& next) {
    const size_t reach = next.reach();
    if (reach <= 2 * (len + 1)) return reach;
    return std::min(KeyShape::MAX_KEYS, std::max<size_t>(4, len + len / 2));
  }

  // Moves the values into a block with room for `room` of them (room >= len()), packed or not (a packed block may
  // become wide, never the reverse).
  void rebuild(size_t room, bool packed_words) {
    Values built(room, packed_words);  // the only step that can fail; nothing has changed yet
    const size_t len = shape_->size();
    const bool was_packed = packed();
    for (; built.len < len; ++built.len) {
      const size_t slot = built.len;
      if (was_packed && packed_words) {
        built.words()[slot] = word(slot);
      } else if (was_packed) {
        std::construct_at(built.at(slot), Packing::unpack(word(slot)));
      } else {
        std::construct_at(built.at(slot), std::move(*value(slot)));
        std::destroy_at(value(slot));
      }
    }
    if (data_ != nullptr) Values::free(data_);
    set_data(built.release());
  }

  // Moves the entries into a map of their own with room for `room` entries.
  void leave_tree(size_t room) {
    auto keyed = std::make_unique<OwnKeys>();
    keyed->reserve(room);  // the only step that can fail; nothing has changed yet
    const size_t len = shape_->size();
    const bool was_packed = packed();
    for (size_t at = 0; at < len; ++at) {
      if (was_packed) {
        keyed->insert(shape_->key(at), Packing::unpack(word(at)));
      } else {
        keyed->insert(shape_->key(at), std::move(*value(at)));
      }
    }
    if (data_ != nullptr) {
      if (!was_packed) std::destroy_n(value(0), len);
      Values::free(data_);
    }
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
    } else if (packed()) {
      for (size_t slot = 0; slot < shape_->size(); ++slot) Packing::release(word(slot));
      Values::free(data_);
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
