// ShapedMap: the attribute map of an object: its values, in one block, and the shared shape naming their keys.
//
// Layout (16 bytes in the object):
//   - shared keys: `shape_` is a KeyShape (the root while empty) and `data_` a block holding its capacity and form,
//     then the values in the order of the shape's keys. Packed form: the block holds a word per value (ValuePacking)
//     and, after the words, a side slot for each value without a word form, its word naming the slot. Once such
//     values would be half the entries or more, the block widens for good to plain values (16 bytes for 8 + 16).
//   - own keys: `shape_` is null and `data_` a HybridHashmap, for maps the shape tree will not take (more than
//     KeyShape::MAX_KEYS attributes, a rare order, or a tree at its bound). A map that leaves the tree stays out.
// A flights row (19 attributes) thus pays 8 bytes a value (16 once a value has no word form) instead of 20 for a
// key and a value, in one allocation, and a walk over many objects reads the few shapes they share from the cache
// instead of each object's keys from memory.
// Entries are only added or replaced, in insertion order, as HybridHashmap's are. No lock of its own.
// Readers that hold no lock (peek) read a block while a writer may be replacing it: such writers hand the old block
// to their caller (Retired), who frees it once no such reader can be running.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "index/core/structures/shaped_map/hybrid_hashmap.hpp"
#include "index/core/structures/shaped_map/key_shape.hpp"
#include "index/core/structures/shaped_map/value_packing.hpp"

namespace vostrel {

template <class V>
class ShapedMap {
  static_assert(std::is_nothrow_move_constructible_v<V>, "values are moved when the block grows");
  static_assert(alignof(V) <= alignof(uint64_t), "a side value follows the words of a packed block");
  using OwnKeys = HybridHashmap<uint32_t, V>;
  using Packing = ValuePacking<V>;

 public:
  using Ref = PackedRef<V>;

  // A block the map let go of while readers without its lock may still be reading it (see peek): freed with this
  // holder, which its owner destroys only when no such reader can be running.
  class Retired {
   public:
    Retired() noexcept = default;
    Retired(Retired&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    Retired& operator=(Retired&& other) noexcept {
      if (this != &other) {
        reset();
        block_ = std::exchange(other.block_, nullptr);
      }
      return *this;
    }
    Retired(const Retired&) = delete;
    Retired& operator=(const Retired&) = delete;
    ~Retired() { reset(); }
    void reset() noexcept {
      if (block_ != nullptr) Values::free(std::exchange(block_, nullptr));
    }
    bool holds_block() const noexcept { return block_ != nullptr; }

   private:
    friend class ShapedMap;
    std::byte* block_ = nullptr;
  };

  // What peek copied: the packed word of the value, or the bytes of a value kept whole. Turned into a view (Ref)
  // once the reader knows the copy is whole.
  struct Peeked {
    enum class Found : uint8_t { Absent, Word, Value } found = Found::Absent;
    uint64_t word = 0;
    alignas(V) unsigned char value[sizeof(V)];

    Ref view() const {
      if (found == Found::Word) return Ref(word);
      return found == Found::Value ? Ref(value) : Ref();
    }
  };

  ShapedMap() noexcept = default;
  ShapedMap(const ShapedMap& other) {
    if (other.own_keys()) {
      set_data(reinterpret_cast<std::byte*>(std::make_unique<OwnKeys>(*other.own()).release()));
      shape_ = nullptr;
      return;
    }
    if (other.data_ == nullptr) return;
    const Header shape = other.header();
    Values copy(shape.capacity, shape.side_capacity, shape.packed != 0);
    const size_t len = other.shape_->size();
    for (; copy.len < len; ++copy.len) {
      const size_t at = copy.len;
      if (!copy.packed) {
        std::construct_at(copy.at(at), *other.value(at));
      } else if (const std::optional<size_t> slot = Packing::side_slot(other.word(at))) {
        copy.add_side(*slot, *other.side(*slot));
        copy.words()[at] = other.word(at);
      } else {
        Packing::retain(other.word(at));
        copy.words()[at] = other.word(at);
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
    if (!packed()) return Ref(value(at));
    if (const std::optional<size_t> slot = Packing::side_slot(word(at))) return Ref(side(*slot));
    return Ref(word(at));
  }

  // The value under `key` for a reader that holds no lock, copied without taking a reference. `unchanged()` says
  // whether no writer has come since the reader began (a lock stamp); it is asked after the map's block and shape are
  // read and before the block is looked into, so every read stays inside a block that went with that shape. The
  // copy may still be torn by a writer that comes later: the reader keeps it only if its stamp still holds
  // afterwards. A block a writer replaces meanwhile must stay allocated (Retired) until the reader is done.
  // Returns nullopt when the map cannot be read this way now (a writer came, or the keys are the map's own).
  // Not seen by the thread sanitizer: these reads race with writers by design and are checked by the stamp.
  template <class Unchanged>
  [[gnu::no_sanitize_thread]] std::optional<Peeked> peek(uint32_t key, Unchanged&& unchanged) const {
    const KeyShape* shape = __atomic_load_n(&shape_, __ATOMIC_RELAXED);
    const std::byte* data = __atomic_load_n(&data_, __ATOMIC_RELAXED);
    if (!unchanged() || shape == nullptr) return std::nullopt;
    Peeked peeked;
    const size_t at = shape->find(key);
    if (at >= shape->size()) return peeked;
    if (data == nullptr) return std::nullopt;
    // Every read below is written out here rather than through the block's helpers, which the sanitizer would see.
    Header header;
    std::memcpy(&header, data, sizeof(header));
    if (at >= header.capacity) return std::nullopt;
    const std::byte* entries = data + Values::HEADER;
    if (header.packed == 0) {
      std::memcpy(peeked.value, entries + at * sizeof(V), sizeof(V));
      peeked.found = Peeked::Found::Value;
      return peeked;
    }
    uint64_t word = 0;
    std::memcpy(&word, entries + at * sizeof(uint64_t), sizeof(word));
    if (const std::optional<size_t> slot = Packing::side_slot(word)) {
      if (*slot >= header.side_capacity) return std::nullopt;
      std::memcpy(peeked.value, entries + header.capacity * sizeof(uint64_t) + *slot * sizeof(V), sizeof(V));
      peeked.found = Peeked::Found::Value;
      return peeked;
    }
    peeked.word = word;
    peeked.found = Peeked::Found::Word;
    return peeked;
  }

  // Where one key sits: a shape it was found in and its position there. Objects of a class share a few shapes, so a
  // caller reading one key over many maps (a loop over objects) keeps the last place and skips the search while
  // the shape is that one (shapes never change or go away). A place belongs to one key: keep one per key.
  struct Place {
    const KeyShape* shape = nullptr;
    uint32_t at = 0;
  };

  static size_t find_at(const KeyShape& shape, uint32_t key, Place& place) noexcept {
    if (place.shape == &shape) return place.at;
    const size_t at = shape.find(key);
    if (at < shape.size()) place = Place{&shape, static_cast<uint32_t>(at)};
    return at;
  }

  // peek for the usual read, with nothing copied but a word: the packed word under `key`, or no_word() when the key
  // is absent, its value is not kept as a word, or a writer came (the caller then takes peek or the lock). The same
  // rules as peek; the caller asks `unchanged()` once more before it uses the word.
  template <class Unchanged>
  [[gnu::no_sanitize_thread]] uint64_t peek_word(uint32_t key, Unchanged&& unchanged, Place& place) const {
    const KeyShape* shape = __atomic_load_n(&shape_, __ATOMIC_RELAXED);
    const std::byte* data = __atomic_load_n(&data_, __ATOMIC_RELAXED);
    if (!unchanged() || shape == nullptr || data == nullptr) return no_word();
    const size_t at = find_at(*shape, key, place);
    Header header;
    std::memcpy(&header, data, sizeof(header));
    if (at >= shape->size() || at >= header.capacity || header.packed == 0) return no_word();
    uint64_t word = 0;
    std::memcpy(&word, data + Values::HEADER + at * sizeof(uint64_t), sizeof(word));
    return word;  // a side slot's word is no_word() or another side word, which the caller sends the long way
  }
  // A side slot's word: never a value's own word (a plain word, not an optional, keeps the read in registers).
  static uint64_t no_word() noexcept { return Packing::side_word(0); }
  static bool is_value_word(uint64_t word) noexcept { return !Packing::side_slot(word); }

  // Adds or replaces. Returns the replaced value (if any) instead of destroying it, so a caller holding the map's
  // lock can release it after unlocking (releasing a Python value may run arbitrary code). A replaced key keeps its
  // place. If an allocation fails the map is left as it was and `value` is destroyed. With `retired`, a block the map
  // outgrows goes there instead of being freed (for maps that readers may peek into meanwhile).
  std::optional<V> insert(uint32_t key, V value, Retired* retired = nullptr) {
    if (own_keys()) return own()->insert(key, std::move(value));
    const size_t len = shape_->size();
    const size_t at = shape_->find(key);
    const KeyShape* next = nullptr;
    if (at < len && packed() && !Packing::side_slot(word(at))) {
      // The common write: a word replaced by a word, in place, with no room to reckon.
      if (const std::optional<uint64_t> packed_value = Packing::word_of(value)) {
        return place_packed(at, len, nullptr, std::move(value), packed_value, std::nullopt);
      }
    }
    if (at == len) {
      next = shape_->with(key);
      if (next == nullptr) {
        leave_tree(len + 1, retired);
        return own()->insert(key, std::move(value));
      }
      // The common step while an object is filled: one more word in a packed block with room for it.
      if (data_ != nullptr && len < capacity() && packed()) {
        if (const std::optional<uint64_t> packed_value = Packing::word_of(value)) {
          words()[len] = *packed_value;
          Packing::give_to_word(std::move(value));
          shape_ = next;
          return std::nullopt;
        }
      }
    }
    return insert_at(at, len, next, std::move(value), retired);
  }

  // insert of a key the map does not hold, which the caller knows (the distinct keywords of one constructor call):
  // no search of the keys for it.
  void insert_new(uint32_t key, V value) {
    if (own_keys()) {
      own()->insert(key, std::move(value));
      return;
    }
    const size_t len = shape_->size();
#ifndef NDEBUG
    if (shape_->find(key) != len) std::abort();
#endif
    const KeyShape* next = shape_->with(key);
    if (next == nullptr) {
      leave_tree(len + 1);
      own()->insert(key, std::move(value));
      return;
    }
    if (data_ != nullptr && len < capacity() && packed()) {
      if (const std::optional<uint64_t> packed_value = Packing::word_of(value)) {
        words()[len] = *packed_value;
        Packing::give_to_word(std::move(value));
        shape_ = next;
        return;
      }
    }
    insert_at(len, len, next, std::move(value), nullptr);
  }

  // The common write of a value with a word form over one kept as a word, in place: returns the old word, which the
  // caller now holds (Packing::unpack or release it). Nullopt, changing nothing, when the write needs insert.
  std::optional<uint64_t> swap_word(uint32_t key, uint64_t word) noexcept {
    Place place;
    return swap_word(key, word, place);
  }
  std::optional<uint64_t> swap_word(uint32_t key, uint64_t word, Place& place) noexcept {
    if (own_keys() || data_ == nullptr || !packed()) return std::nullopt;
    const size_t at = find_at(*shape_, key, place);
    if (at >= shape_->size() || Packing::side_slot(this->word(at))) return std::nullopt;
    return std::exchange(words()[at], word);
  }

  // Makes room for `count` entries in all (one allocation now instead of several while filling). `first_key`, the key
  // an empty map will take first, tells how many side slots maps of that kind have needed.
  void reserve(size_t count, std::optional<uint32_t> first_key = std::nullopt) {
    if (own_keys()) {
      own()->reserve(count);
    } else if (count > KeyShape::MAX_KEYS) {
      leave_tree(count);
    } else if (count > capacity()) {
      size_t side_room = side_capacity();
      if (data_ == nullptr && packed() && first_key) {
        // Fewer than half the entries: more would widen the block.
        if (const KeyShape* first = shape_->with(*first_key)) {
          side_room = std::min<size_t>(first->side_hint(), (count - 1) / 2);
        }
      }
      rebuild(count, side_room, packed());
    }
  }

  // Number of entries.
  size_t len() const { return own_keys() ? own()->len() : shape_->size(); }
  // Bytes of the map's own blocks (0 while empty); shared shapes are not counted.
  size_t heap_bytes() const {
    if (own_keys()) return sizeof(OwnKeys) + own()->heap_bytes();
    return data_ == nullptr ? 0 : Values::bytes_for(capacity(), side_capacity(), packed());
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
    if (!packed()) {
      for (size_t at = 0; at < len; ++at) f(keys[at], *value(at));
      return;
    }
    for (size_t at = 0; at < len; ++at) {
      if (const std::optional<size_t> slot = Packing::side_slot(word(at))) {
        f(keys[at], *side(*slot));
      } else {
        const Ref entry(word(at));
        f(keys[at], *entry);
      }
    }
  }

  // Calls f(const V&) for every value that may take part in a reference cycle (the values of a wide block, the side
  // values and the words that name such a value in a packed block): for the collector's walk.
  template <class F>
  void for_each_in_cycles(F&& f) const {
    if (own_keys() || !packed()) return for_each([&](const uint32_t&, const V& value) { f(value); });
    for (size_t at = 0; at < shape_->size(); ++at) {
      if (const std::optional<size_t> slot = Packing::side_slot(word(at))) {
        f(*side(*slot));
      } else if (Packing::in_cycles(word(at))) {
        const Ref entry(word(at));
        f(*entry);
      }
    }
  }

  // Asks the processor for the shared parts of every value (V::prefetch), ahead of a walk that reads them; packed
  // words are not unpacked for it (unpacking reads the record it names).
  void prefetch_values() const {
    if (own_keys() || !packed()) return for_each([](const uint32_t&, const V& value) { value.prefetch(); });
    for (size_t at = 0; at < shape_->size(); ++at) {
      if (!Packing::side_slot(word(at))) Packing::prefetch(word(at));
    }
  }

 private:
  // The first bytes of a block. A packed block holds `capacity` words, then `side_capacity` side slots for the
  // values without a word form (their words name the slot), `side_used` marking the slots in use.
  struct Header {
    uint8_t capacity;
    uint8_t side_capacity;
    uint8_t packed;
    uint8_t unused = 0;
    uint16_t side_used = 0;
    uint16_t unused_too = 0;
  };
  static_assert(KeyShape::MAX_KEYS <= 0xff && KeyShape::MAX_KEYS / 2 <= 16, "the header's fields hold the bounds");

  // A block of values being built: freed, with what it holds, unless released to the map.
  struct Values {
    struct alignas(alignof(uint64_t)) Unit {
      std::byte bytes[alignof(uint64_t)];
    };
    static constexpr size_t HEADER = sizeof(Header);
    static size_t bytes_for(size_t room, size_t side_room, bool packed) {
      return HEADER + (packed ? room * sizeof(uint64_t) + side_room * sizeof(V) : room * sizeof(V));
    }
    static size_t units_for(const Header& header) {
      return (bytes_for(header.capacity, header.side_capacity, header.packed != 0) + sizeof(Unit) - 1) / sizeof(Unit);
    }

    std::byte* base = nullptr;
    bool packed = false;
    size_t len = 0;  // entries constructed so far

    // Throws std::bad_alloc.
    Values(size_t room, size_t side_room, bool packed_words) : packed(packed_words) {
      const Header header{static_cast<uint8_t>(room), static_cast<uint8_t>(packed ? side_room : 0),
                          static_cast<uint8_t>(packed ? 1 : 0)};
      base = reinterpret_cast<std::byte*>(std::allocator<Unit>().allocate(units_for(header)));
      std::memcpy(base, &header, sizeof(header));
    }
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    ~Values() {
      if (base == nullptr) return;
      if (packed) {
        for (size_t at = 0; at < len; ++at) {
          if (!Packing::side_slot(words()[at])) Packing::release(words()[at]);
        }
        destroy_sides(base);
      } else {
        std::destroy_n(at(0), len);
      }
      free(base);
    }
    V* at(size_t slot) const { return std::launder(reinterpret_cast<V*>(base + HEADER) + slot); }
    uint64_t* words() const { return reinterpret_cast<uint64_t*>(base + HEADER); }
    // Copies `value` into side slot `slot` (throws what V's copy throws; nothing is placed then).
    void add_side(size_t slot, const V& value) {
      std::construct_at(side_of(base, slot), value);
      Header header = header_of(base);
      header.side_used = static_cast<uint16_t>(header.side_used | (1u << slot));
      std::memcpy(base, &header, sizeof(header));
    }
    std::byte* release() { return std::exchange(base, nullptr); }

    static Header header_of(const std::byte* block) {
      Header header;
      std::memcpy(&header, block, sizeof(header));
      return header;
    }
    static V* side_of(const std::byte* block, size_t slot) {
      const size_t words = header_of(block).capacity;
      return std::launder(reinterpret_cast<V*>(const_cast<std::byte*>(block) + HEADER + words * sizeof(uint64_t)) +
                          slot);
    }
    static void destroy_sides(std::byte* block) {
      for (uint32_t used = header_of(block).side_used; used != 0; used &= used - 1) {
        std::destroy_at(side_of(block, static_cast<size_t>(std::countr_zero(used))));
      }
    }
    static void free(std::byte* block) {
      std::allocator<Unit>().deallocate(reinterpret_cast<Unit*>(block), units_for(header_of(block)));
    }
  };

  bool own_keys() const noexcept { return shape_ == nullptr; }
  OwnKeys* own() const noexcept { return reinterpret_cast<OwnKeys*>(data_); }
  Header header() const noexcept { return Values::header_of(data_); }
  size_t capacity() const noexcept { return data_ == nullptr ? 0 : header().capacity; }
  size_t side_capacity() const noexcept { return data_ == nullptr ? 0 : header().side_capacity; }
  // An empty map has no block yet: its first values are packed when they can be.
  bool packed() const noexcept { return data_ == nullptr ? Packing::ENABLED : header().packed != 0; }
  V* value(size_t slot) const noexcept { return std::launder(reinterpret_cast<V*>(data_ + Values::HEADER) + slot); }
  uint64_t* words() const noexcept { return reinterpret_cast<uint64_t*>(data_ + Values::HEADER); }
  uint64_t word(size_t slot) const noexcept { return words()[slot]; }
  V* side(size_t slot) const noexcept { return Values::side_of(data_, slot); }
  // The first side slot not in use (side_capacity() when all are).
  size_t free_side() const noexcept {
    return data_ == nullptr ? 0 : static_cast<size_t>(std::countr_one(static_cast<uint32_t>(header().side_used)));
  }
  void mark_side(size_t slot, bool used) noexcept {
    Header changed = header();
    const uint32_t bit = 1u << slot;
    changed.side_used = static_cast<uint16_t>(used ? changed.side_used | bit : changed.side_used & ~bit);
    std::memcpy(data_, &changed, sizeof(changed));
  }
  // Bits set in a side mask, without the library call a portable build makes of std::popcount.
  static size_t count_bits(uint16_t mask) noexcept {
    uint32_t bits = mask;
    bits = bits - ((bits >> 1) & 0x5555u);
    bits = (bits & 0x3333u) + ((bits >> 2) & 0x3333u);
    bits = (bits + (bits >> 4)) & 0x0f0fu;
    return static_cast<size_t>((bits + (bits >> 8)) & 0x1fu);
  }
  // Whether a packed block with `entries` entries may take one more side value: side values cost a word and a
  // value each, so the block stays packed while they are fewer than half its entries.
  bool keeps_packed(size_t entries) const noexcept {
    const size_t sides = data_ == nullptr ? 0 : count_bits(header().side_used);
    return 2 * (sides + 1) < entries;
  }

  // The rest of insert: a replacement, a new block, a side slot or widening.
  [[gnu::noinline]] std::optional<V> insert_at(size_t at, size_t len, const KeyShape* next, V&& value,
                                               Retired* retired) {
    // Every allocation comes first: nothing changes unless all of them succeed.
    const size_t room = at == len && len == capacity() ? room_after(len, *next) : capacity();
    if (packed()) {
      const std::optional<uint64_t> packed_value = Packing::word_of(value);
      const std::optional<size_t> old_slot = at < len ? Packing::side_slot(word(at)) : std::nullopt;
      // Judged against the block's room as well: an object's first values may lack a word form (a name) while
      // most of those to come have one.
      if (packed_value || old_slot || keeps_packed(std::max(at < len ? len : len + 1, room))) {
        size_t side_room = side_capacity();
        if (data_ == nullptr) {
          const KeyShape& reached = next != nullptr ? *next : *shape_;
          side_room = std::min<size_t>(reached.side_hint(), (room - 1) / 2);
        }
        if (!packed_value && !old_slot && free_side() >= side_room) {
          side_room = std::min(KeyShape::MAX_KEYS / 2, std::max(side_room, side_capacity() + 2));
        }
        if (room != capacity() || side_room != side_capacity()) rebuild(room, side_room, true, retired);
        return place_packed(at, len, next, std::move(value), packed_value, old_slot);
      }
      rebuild(room, 0, false, retired);  // widened for good: more values without a word form than with one
    } else if (room != capacity()) {
      rebuild(room, 0, false, retired);
    }
    if (at < len) return std::exchange(*this->value(at), std::move(value));
    std::construct_at(this->value(len), std::move(value));
    shape_ = next;
    return std::nullopt;
  }

  // Puts `value` at entry `at` of a packed block with room for it (and a free side slot if it needs one).
  std::optional<V> place_packed(size_t at, size_t len, const KeyShape* next, V&& value,
                                std::optional<uint64_t> packed_value, std::optional<size_t> old_slot) {
    std::optional<V> old;
    if (old_slot) {
      if (!packed_value) return std::exchange(*side(*old_slot), std::move(value));
      old.emplace(std::move(*side(*old_slot)));
      std::destroy_at(side(*old_slot));
      mark_side(*old_slot, false);
    } else if (at < len) {
      old.emplace(Packing::unpack(word(at)));
    }
    if (packed_value) {
      words()[at] = *packed_value;
      Packing::give_to_word(std::move(value));
    } else {
      const size_t slot = free_side();
      std::construct_at(side(slot), std::move(value));
      mark_side(slot, true);
      words()[at] = Packing::side_word(slot);
      (at == len ? next : shape_)->note_sides(static_cast<uint32_t>(count_bits(header().side_used)));
    }
    if (at == len) shape_ = next;
    return old;
  }

  // Room for a full block of `len` values about to take the step to `next`: as far as maps that took that step went,
  // when that is at most twice as far (objects of a class fill one block at once, after a few small ones), else half
  // again as much.
  static size_t room_after(size_t len, const KeyShape& next) {
    const size_t reach = next.reach();
    if (reach <= 2 * (len + 1)) return reach;
    return std::min(KeyShape::MAX_KEYS, std::max<size_t>(4, len + len / 2));
  }

  // Moves the values into a block with room for `room` of them (room >= len()) and `side_room` side values (at least
  // as many as there are now), packed or not (a packed block may become wide, never the reverse).
  void rebuild(size_t room, size_t side_room, bool packed_words, Retired* retired = nullptr) {
    Values built(room, side_room, packed_words);  // the only step that can fail; nothing has changed yet
    const size_t len = shape_->size();
    const bool was_packed = packed();
    for (size_t at = 0; at < len; ++at) {
      if (!was_packed) {
        std::construct_at(built.at(at), std::move(*value(at)));
        std::destroy_at(value(at));
      } else if (const std::optional<size_t> slot = Packing::side_slot(word(at))) {
        // A side value keeps its slot in a packed block, or takes its entry's place in a wide one.
        V* moved = packed_words ? Values::side_of(built.base, *slot) : built.at(at);
        std::construct_at(moved, std::move(*side(*slot)));
        std::destroy_at(side(*slot));
        if (packed_words) built.words()[at] = word(at);
      } else if (packed_words) {
        built.words()[at] = word(at);
      } else {
        std::construct_at(built.at(at), Packing::unpack(word(at)));
      }
    }
    if (was_packed && packed_words && data_ != nullptr) {
      Header header = Values::header_of(built.base);
      header.side_used = this->header().side_used;
      std::memcpy(built.base, &header, sizeof(header));
    }
    std::byte* old = data_;
    set_data(built.release());
    if (old != nullptr) let_go(old, retired);
  }

  // Moves the entries into a map of their own with room for `room` entries.
  void leave_tree(size_t room, Retired* retired = nullptr) {
    auto keyed = std::make_unique<OwnKeys>();
    keyed->reserve(room);  // the only step that can fail; nothing has changed yet
    const size_t len = shape_->size();
    const bool was_packed = packed();
    for (size_t at = 0; at < len; ++at) {
      if (!was_packed) {
        keyed->insert(shape_->key(at), std::move(*value(at)));
      } else if (const std::optional<size_t> slot = Packing::side_slot(word(at))) {
        keyed->insert(shape_->key(at), std::move(*side(*slot)));
      } else {
        keyed->insert(shape_->key(at), Packing::unpack(word(at)));
      }
    }
    if (data_ != nullptr) {
      if (was_packed) {
        Values::destroy_sides(data_);
      } else {
        std::destroy_n(value(0), len);
      }
    }
    std::byte* old = data_;
    set_data(reinterpret_cast<std::byte*>(keyed.release()));  // freed by destroy()
    shape_ = nullptr;
    if (old != nullptr) let_go(old, retired);
  }

  // Frees a block the map no longer uses, or leaves it to `retired`. One insert outgrows at most one block.
  static void let_go(std::byte* block, Retired* retired) noexcept {
    if (retired == nullptr) return Values::free(block);
    retired->reset();
    retired->block_ = block;
  }

  void set_data(std::byte* data) noexcept { __atomic_store_n(&data_, data, __ATOMIC_RELAXED); }
  std::byte* take_data() noexcept {
    std::byte* data = data_;
    set_data(nullptr);
    return data;
  }

  void destroy() noexcept {
    if (data_ != nullptr) {
      if (own_keys()) {
        std::unique_ptr<OwnKeys> keyed(own());
      } else if (packed()) {
        for (size_t at = 0; at < shape_->size(); ++at) {
          if (!Packing::side_slot(word(at))) Packing::release(word(at));
        }
        Values::destroy_sides(data_);
        Values::free(data_);
      } else {
        std::destroy_n(value(0), shape_->size());
        Values::free(data_);
      }
      set_data(nullptr);
    }
    shape_ = KeyShape::root();
  }

  std::byte* data_ = nullptr;
  const KeyShape* shape_ = KeyShape::root();
};

}  // namespace vostrel
