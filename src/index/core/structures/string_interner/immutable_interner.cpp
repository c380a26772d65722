// ImmutableInterner: a frozen, lock-free readable snapshot of the attribute-name interner, and its lookup table.
#include "index/core/structures/string_interner/immutable_interner.hpp"

#include <algorithm>
#include <bit>

#include "index/core/structures/fx_hash.hpp"

namespace vostrel {
namespace {

constexpr size_t MIN_SLOTS = 8;

// Slots for `keys` keys at a load factor of at most one half, which keeps probe runs short for misses too.
size_t slots_for(size_t keys) { return keys == 0 ? 0 : std::bit_ceil(std::max(MIN_SLOTS, keys * 2)); }

}  // namespace

NameTable::NameTable(size_t room_for_names) {
  if (room_for_names > 0) grow_to(slots_for(room_for_names));
  next_same_key_.reserve(room_for_names);
}

size_t NameTable::bucket_of(uint64_t hash, uint32_t length) {
  FxHasher hasher;
  hasher.add(hash);
  hasher.add(length);
  return hasher.finish();
}

const NameTable::Slot* NameTable::find_slot(uint64_t hash, uint32_t length) const {
  const size_t mask = slots_.size() - 1;
  for (size_t index = bucket_of(hash, length) & mask;; index = (index + 1) & mask) {
    const Slot& slot = slots_[index];
    if (slot.first_id == NO_ID) return nullptr;
    if (slot.hash == hash && slot.length == length) return &slot;
  }
}

void NameTable::grow_to(size_t slot_count) {
  std::vector<Slot> grown(slot_count, Slot{0, 0, NO_ID});
  const size_t mask = slot_count - 1;
  for (const Slot& slot : slots_) {
    if (slot.first_id == NO_ID) continue;
    size_t index = bucket_of(slot.hash, slot.length) & mask;
    while (grown[index].first_id != NO_ID) index = (index + 1) & mask;
    grown[index] = slot;
  }
  slots_ = std::move(grown);
}

void NameTable::add(uint64_t hash, uint32_t length, uint32_t id) {
  // Everything that can throw happens before the table changes observably.
  if (slots_.size() < slots_for(keys_ + 1)) grow_to(slots_for(keys_ + 1));
  next_same_key_.push_back(NO_ID);

  const size_t mask = slots_.size() - 1;
  size_t index = bucket_of(hash, length) & mask;
  for (;; index = (index + 1) & mask) {
    Slot& slot = slots_[index];
    if (slot.first_id == NO_ID) {
      slot = Slot{hash, length, id};
      ++keys_;
      return;
    }
    if (slot.hash == hash && slot.length == length) {
      // A true collision: append to the key's chain so ids stay in order of interning.
      uint32_t tail = slot.first_id;
      while (next_same_key_[tail] != NO_ID) tail = next_same_key_[tail];
      next_same_key_[tail] = id;
      return;
    }
  }
}

std::optional<uint32_t> ImmutableInterner::get_hashed(std::string_view name, uint64_t hash) const {
  const auto length = static_cast<uint32_t>(name.size());
  const std::vector<InternedStr>& old = base_->names;
  const auto in_base = [&](uint32_t id) { return old[id].view() == name; };
  if (std::optional<uint32_t> id = base_->table.find(hash, length, in_base)) return id;
  const auto in_recent = [&](uint32_t pos) { return recent_[pos].view() == name; };
  std::optional<uint32_t> pos = recent_table_.find(hash, length, in_recent);
  if (!pos) return std::nullopt;
  return static_cast<uint32_t>(old.size()) + *pos;
}

uint64_t ImmutableInterner::hash_str(std::string_view name) { return fx_hash_u64(byte_hash(name)); }

}  // namespace vostrel
