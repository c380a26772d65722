// CharacterMap: sorted per-key id sets of one position, three ids in place before a heap bitmap.
#include "index/core/structures/positional_bitmap/character_map.hpp"

#include <roaring/roaring.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "index/core/structures/bitmap_ops/add_ids.hpp"

namespace vostrel {
namespace {

std::allocator<KeyIds> ENTRY_ALLOCATOR;

Bitmap* new_bitmap() { return std::make_unique<Bitmap>().release(); }
void free_bitmap(Bitmap* bitmap) noexcept { std::unique_ptr<Bitmap> owned(bitmap); }

// Moves the in-place ids of `ids` and `extra` into a heap bitmap.
void make_large(KeyIds& ids, const uint32_t* extra, size_t extra_count) {
  std::unique_ptr<Bitmap> bitmap(new_bitmap());
  for (unsigned i = 0; i < ids.count; ++i) bitmap->add(ids.inline_id(i));
  add_ids(&bitmap->roaring, extra, extra_count);
  ids.count = KeyIds::LARGE;
  ids.more.large = bitmap.release();
}

void set_inline(KeyIds& ids, const uint32_t* values, unsigned count) {
  ids.count = static_cast<uint8_t>(count);
  ids.first = count > 0 ? values[0] : 0;
  ids.more.rest[0] = count > 1 ? values[1] : 0;
  ids.more.rest[1] = count > 2 ? values[2] : 0;
}

void add_id(KeyIds& ids, uint32_t id) {
  if (ids.is_large()) {
    add_rising(*ids.more.large, id);
    return;
  }
  uint32_t values[KeyIds::INLINE_CAPACITY + 1];
  unsigned count = 0;
  for (unsigned i = 0; i < ids.count; ++i) {
    uint32_t value = ids.inline_id(i);
    if (value == id) return;
    values[count++] = value;
  }
  if (count == KeyIds::INLINE_CAPACITY) {
    make_large(ids, &id, 1);
    return;
  }
  values[count++] = id;
  std::sort(values, values + count);
  set_inline(ids, values, count);
}

bool remove_id(KeyIds& ids, uint32_t id) {
  if (ids.is_large()) return ids.more.large->removeChecked(id);
  uint32_t values[KeyIds::INLINE_CAPACITY];
  unsigned count = 0;
  bool found = false;
  for (unsigned i = 0; i < ids.count; ++i) {
    uint32_t value = ids.inline_id(i);
    if (value == id) {
      found = true;
    } else {
      values[count++] = value;
    }
  }
  if (found) set_inline(ids, values, count);
  return found;
}

bool is_empty(const KeyIds& ids) { return ids.is_large() ? ids.more.large->isEmpty() : ids.count == 0; }

// A deep copy: a heap bitmap is copied into a new one.
KeyIds copy_of(const KeyIds& ids) {
  KeyIds copy = ids;
  if (ids.is_large()) {
    std::unique_ptr<Bitmap> bitmap(new_bitmap());
    *bitmap = *ids.more.large;
    copy.more.large = bitmap.release();
  }
  return copy;
}

void free_ids(KeyIds& ids) noexcept {
  if (ids.is_large()) free_bitmap(ids.more.large);
  ids.count = 0;
}

}  // namespace

bool KeyIds::contains(uint32_t id) const {
  if (is_large()) return more.large->contains(id);
  for (unsigned i = 0; i < count; ++i) {
    if (inline_id(i) == id) return true;
  }
  return false;
}

void KeyIds::or_into(Bitmap& out) const {
  if (is_large()) {
    out |= *more.large;
    return;
  }
  for (unsigned i = 0; i < count; ++i) out.add(inline_id(i));
}

CharacterMap::CharacterMap(const CharacterMap& other) {
  if (other.size_ == 0) return;
  if (other.in_place()) {
    one_ = copy_of(other.one_);
    size_ = 1;
    return;
  }
  KeyIds* entries = ENTRY_ALLOCATOR.allocate(other.size_);
  uint32_t copied = 0;
  try {
    for (; copied < other.size_; ++copied) std::construct_at(entries + copied, copy_of(other.many_[copied]));
  } catch (...) {
    for (uint32_t pos = 0; pos < copied; ++pos) free_ids(entries[pos]);
    ENTRY_ALLOCATOR.deallocate(entries, other.size_);
    throw;
  }
  many_ = entries;
  size_ = other.size_;
  capacity_ = other.size_;
}

CharacterMap::CharacterMap(CharacterMap&& other) noexcept { take_from(other); }

void CharacterMap::take_from(CharacterMap& other) noexcept {
  size_ = other.size_;
  capacity_ = other.capacity_;
  if (in_place()) {
    one_ = other.one_;
  } else {
    many_ = other.many_;
  }
  other.size_ = 0;
  other.capacity_ = 0;
  other.one_ = KeyIds{};
}

CharacterMap& CharacterMap::operator=(const CharacterMap& other) {
  if (this != &other) {
    CharacterMap copy(other);
    *this = std::move(copy);
  }
  return *this;
}

CharacterMap& CharacterMap::operator=(CharacterMap&& other) noexcept {
  if (this != &other) {
    release();
    take_from(other);
  }
  return *this;
}

CharacterMap::~CharacterMap() { release(); }

void CharacterMap::release() noexcept {
  KeyIds* entries = data();
  for (uint32_t pos = 0; pos < size_; ++pos) free_ids(entries[pos]);
  if (!in_place()) ENTRY_ALLOCATOR.deallocate(many_, capacity_);
  size_ = 0;
  capacity_ = 0;
  one_ = KeyIds{};
}

uint32_t CharacterMap::lower_bound(unsigned key) const {
  const KeyIds* entries = data();
  uint32_t low = 0;
  uint32_t high = size_;
  while (low < high) {
    uint32_t mid = (low + high) / 2;
    if (entries[mid].key < key) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

const KeyIds* CharacterMap::find(unsigned key) const {
  uint32_t slot = lower_bound(key);
  const KeyIds* entries = data();
  return slot < size_ && entries[slot].key == key ? &entries[slot] : nullptr;
}

KeyIds& CharacterMap::entry_for(unsigned key) {
  uint32_t slot = lower_bound(key);
  if (slot < size_ && data()[slot].key == key) return data()[slot];
  KeyIds fresh;
  fresh.key = static_cast<uint16_t>(key);
  if (size_ == 0 && in_place()) {
    one_ = fresh;
    size_ = 1;
    return one_;
  }
  if (in_place() || size_ == capacity_) {
    // Entries are plain records (the map owns their bitmaps), so growing copies their bytes.
    uint32_t grown = std::max<uint32_t>(2, capacity_ * 2);
    KeyIds* entries = ENTRY_ALLOCATOR.allocate(grown);
    std::memcpy(static_cast<void*>(entries), data(), size_ * sizeof(KeyIds));
    if (!in_place()) ENTRY_ALLOCATOR.deallocate(many_, capacity_);
    many_ = entries;
    capacity_ = grown;
  }
  std::memmove(static_cast<void*>(many_ + slot + 1), many_ + slot, (size_ - slot) * sizeof(KeyIds));
  many_[slot] = fresh;
  ++size_;
  return many_[slot];
}

void CharacterMap::erase_at(uint32_t slot) {
  KeyIds* entries = data();
  free_ids(entries[slot]);
  std::memmove(static_cast<void*>(entries + slot), entries + slot + 1, (size_ - slot - 1) * sizeof(KeyIds));
  --size_;
  if (size_ == 0 && !in_place()) {
    // Back to the in-place form: a position whose strings all went costs no heap.
    ENTRY_ALLOCATOR.deallocate(many_, capacity_);
    capacity_ = 0;
    one_ = KeyIds{};
  }
}

template <class F>
void CharacterMap::update(unsigned key, F&& change) {
  KeyIds& ids = entry_for(key);
  try {
    change(ids);
  } catch (...) {
    // A failed allocation must not leave an empty key behind.
    if (is_empty(ids)) erase_at(static_cast<uint32_t>(&ids - data()));
    throw;
  }
}

void CharacterMap::add(unsigned key, uint32_t id) {
  update(key, [&](KeyIds& ids) { add_id(ids, id); });
}

void CharacterMap::add_many(unsigned key, const uint32_t* ids, size_t count) {
  if (count == 0) return;
  update(key, [&](KeyIds& entry) {
    if (entry.is_large()) {
      add_ids(&entry.more.large->roaring, ids, count);
    } else if (entry.count + count > KeyIds::INLINE_CAPACITY) {
      make_large(entry, ids, count);
    } else {
      for (size_t pos = 0; pos < count; ++pos) add_id(entry, ids[pos]);
    }
  });
}

bool CharacterMap::remove(unsigned key, uint32_t id) {
  uint32_t slot = lower_bound(key);
  if (slot >= size_ || data()[slot].key != key) return false;
  KeyIds& ids = data()[slot];
  if (!remove_id(ids, id)) return false;
  if (is_empty(ids)) erase_at(slot);
  return true;
}

void CharacterMap::keep_only(const IdFilter& keep) {
  for (uint32_t slot = size_; slot-- > 0;) {
    KeyIds& ids = data()[slot];
    if (ids.is_large()) {
      roaring_bitmap_and_inplace(&ids.more.large->roaring, &keep.bitmap().roaring);
    } else {
      uint32_t values[KeyIds::INLINE_CAPACITY];
      unsigned count = 0;
      for (unsigned i = 0; i < ids.count; ++i) {
        if (keep.contains(ids.inline_id(i))) values[count++] = ids.inline_id(i);
      }
      set_inline(ids, values, count);
    }
    if (is_empty(ids)) erase_at(slot);
  }
}

void CharacterMap::union_with(const CharacterMap& other, const Bitmap* only) {
  if (&other == this) return;
  other.for_each([&](const KeyIds& from) {
    if (from.is_large()) {
      if (only == nullptr) {
        update(from.key, [&](KeyIds& into) {
          if (!into.is_large()) make_large(into, nullptr, 0);
          *into.more.large |= *from.more.large;
        });
        return;
      }
      Bitmap part = *from.more.large & *only;
      if (part.isEmpty()) return;
      update(from.key, [&](KeyIds& into) {
        if (!into.is_large()) make_large(into, nullptr, 0);
        *into.more.large |= part;
      });
      return;
    }
    uint32_t picked[KeyIds::INLINE_CAPACITY];
    unsigned count = 0;
    for (unsigned i = 0; i < from.count; ++i) {
      if (only == nullptr || only->contains(from.inline_id(i))) picked[count++] = from.inline_id(i);
    }
    if (count == 0) return;
    update(from.key, [&](KeyIds& into) {
      for (unsigned i = 0; i < count; ++i) add_id(into, picked[i]);
    });
  });
}

bool CharacterMap::validate() const {
  const KeyIds* entries = data();
  if (in_place() && size_ > 1) return false;
  if (!in_place() && size_ > capacity_) return false;
  for (uint32_t pos = 0; pos < size_; ++pos) {
    const KeyIds& ids = entries[pos];
    if (ids.key > BOUNDARY) return false;
    if (pos > 0 && entries[pos - 1].key >= ids.key) return false;
    if (is_empty(ids)) return false;
    if (!ids.is_large()) {
      if (ids.count > KeyIds::INLINE_CAPACITY) return false;
      for (unsigned i = 1; i < ids.count; ++i) {
        if (ids.inline_id(i - 1) >= ids.inline_id(i)) return false;
      }
    }
  }
  return true;
}

}  // namespace vostrel
